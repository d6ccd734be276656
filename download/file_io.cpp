#include "download/file_io.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

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

MoveResult MoveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to, std::uint32_t giveUpMs,
                         const std::function<bool()>& stopped, MoveFn move) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point giveUp = Clock::now() + std::chrono::milliseconds(giveUpMs);
    std::chrono::milliseconds pause(50);
    for (;;) {
        const MoveResult result = move(from, to);
        if (result != MoveResult::kHeld) return result;
        // Short slices, so that a stop request is seen within 50 ms.
        const Clock::time_point wakeUp = std::min(Clock::now() + pause, giveUp);
        while (Clock::now() < wakeUp) {
            if (stopped()) return result;
            std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(50), wakeUp - Clock::now()));
        }
        if (stopped() || Clock::now() >= giveUp) return move(from, to);
        pause = std::min(pause * 2, std::chrono::milliseconds(1000));
    }
}

std::string LastErrorText() {
    const int code = errno;
    try {
        return std::generic_category().message(code);
    } catch (...) {
        return "error " + std::to_string(code);
    }
}
