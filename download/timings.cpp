// The process-wide download timings: the product's defaults, shortened by tests.
#include "download/timings.h"

#include <mutex>

namespace {
std::mutex g_timingsMutex;
DownloadTimings g_timings;
}  // namespace

DownloadTimings GetDownloadTimings() {
    std::lock_guard<std::mutex> lock(g_timingsMutex);
    return g_timings;
}

void SetDownloadTimings(const DownloadTimings& timings) {
    std::lock_guard<std::mutex> lock(g_timingsMutex);
    g_timings = timings;
}
