// The log's platform parts natively: the debugger output (standard error on request, else
// nowhere) and the clock.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace rklog {
// Without a debugger channel the text goes to standard error when ZPV_LOG_STDERR is set, and is
// discarded otherwise, as the debugger output is when nothing listens.
void SystemDebugOutput(const char* text) {
    static const bool enabled = std::getenv("ZPV_LOG_STDERR") != nullptr;
    if (enabled) std::fputs(text, stderr);
}

std::int64_t SystemUnixSeconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}
}
