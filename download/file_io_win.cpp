// The download engine's files on Windows (wide paths all the way to the system).
#include "download/file_io.h"

#include "app/core/textconv.h"

std::FILE* OpenFile(const std::filesystem::path& path, const char* mode) {
    const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(path.c_str(), wideMode.c_str());
}

bool SeekTo(std::FILE* file, std::uint64_t position) {
    return _fseeki64(file, static_cast<long long>(position), SEEK_SET) == 0;
}

std::string PathText(const std::filesystem::path& path) { return ToNarrowPath(path.native()); }

std::filesystem::path FolderPath(const std::wstring& folder) { return std::filesystem::path(folder); }
