// The download engine's files natively (narrow paths).
#include "download/file_io.h"

#include "app/core/textconv.h"

std::FILE* OpenFile(const std::filesystem::path& path, const char* mode) { return std::fopen(path.c_str(), mode); }

bool SeekTo(std::FILE* file, std::uint64_t position) {
    return fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
}

std::string PathText(const std::filesystem::path& path) { return path.native(); }

MoveResult MoveFileOnce(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::error_code ec;
    std::filesystem::rename(from, to, ec);
    if (!ec) return MoveResult::kMoved;
    return ec == std::errc::device_or_resource_busy || ec == std::errc::text_file_busy ? MoveResult::kHeld
                                                                                        : MoveResult::kFailed;
}

std::filesystem::path FolderPath(const std::wstring& folder) { return std::filesystem::path(ToNarrowPath(folder)); }
