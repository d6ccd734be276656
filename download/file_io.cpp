#include "download/file_io.h"

#include <cerrno>
#include <system_error>

std::uint64_t FileSize(const std::filesystem::path& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return 0;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    return ec ? 0 : static_cast<std::uint64_t>(size);
}

void RemoveFile(const std::filesystem::path& path) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

std::string LastErrorText() {
    const int code = errno;
    try {
        return std::generic_category().message(code);
    } catch (...) {
        return "error " + std::to_string(code);
    }
}
