// The log's platform parts on Windows: the debugger output and the clock.
#include <windows.h>

#include <cstdint>

namespace rklog {
void SystemDebugOutput(const char* text) { OutputDebugStringA(text); }

// From the system's 64-bit file time: the 32-bit build's time_t ends in January 2038.
std::int64_t SystemUnixSeconds() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    const std::uint64_t kUnixEpochTicks = 116444736000000000ull;   // 1970-01-01 in 100 ns since 1601
    return static_cast<std::int64_t>((ticks - kUnixEpochTicks) / 10000000u);
}
}
