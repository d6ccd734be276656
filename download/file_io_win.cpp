// The download engine's files on Windows (wide paths all the way to the system).
#include "download/file_io.h"

#include <windows.h>

#include "app/core/textconv.h"

std::FILE* OpenFile(const std::filesystem::path& path, const char* mode) {
    const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(path.c_str(), wideMode.c_str());
}

bool SeekTo(std::FILE* file, std::uint64_t position) {
    return _fseeki64(file, static_cast<long long>(position), SEEK_SET) == 0;
}

std::string PathText(const std::filesystem::path& path) { return ToNarrowPath(path.native()); }

MoveResult MoveFileOnce(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return MoveResult::kMoved;
    switch (GetLastError()) {
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_ACCESS_DENIED:   // also a file whose deletion is pending while a scanner holds it
            return MoveResult::kHeld;
        default:
            return MoveResult::kFailed;
    }
}

std::filesystem::path FolderPath(const std::wstring& folder) { return std::filesystem::path(folder); }
