// The stall and low-speed rules on a clock of the test's own: whole windows in no time.
#include <gtest/gtest.h>

#include "download/stall_watch.h"

namespace {

using std::chrono::milliseconds;

struct Tick {
    int atMs;
    std::int32_t chunks;
    std::uint64_t bytes;
};

}  // namespace

TEST(StallWatch, DecidesOnTheTimesItIsGiven) {
    DownloadTimings t;
    t.firstChunkChecks = 2;
    t.firstChunkCheckMs = 100;
    t.stallMs = 500;
    t.lowSpeedBytes = 1000;
    t.lowSpeedTimeMs = 1000;
    struct Case {
        const char* what;
        std::vector<Tick> ticks;
        std::string verdict;   // the first reason given, or empty
    };
    const std::vector<Case> cases = {
        {"steady flow", {{100, 1, 500}, {600, 2, 1500}, {1100, 3, 2500}, {1600, 4, 3500}, {2100, 5, 4500}}, ""},
        {"flow that stops", {{100, 1, 5000}, {600, 2, 9000}, {1100, 2, 9000}}, "no data for 500 ms"},
        {"silent server: left to the read limit", {{100, 0, 0}, {200, 0, 0}, {5000, 0, 0}}, ""},
        {"trickle", {{100, 1, 10}, {600, 2, 20}, {1100, 3, 30}, {1600, 4, 40}, {2100, 5, 50}},
         "fewer than 1000 bytes in 1000 ms"},
    };
    for (const Case& c : cases) {
        const StallWatch::Clock::time_point start{};
        StallWatch watch(t, 0, start);
        std::string verdict;
        for (const Tick& tick : c.ticks) {
            // Every check the watch asks for up to this tick, with the counters of the tick.
            const auto now = start + milliseconds(tick.atMs);
            while (verdict.empty() && watch.Next() <= now) verdict = watch.Check(watch.Next(), tick.chunks, tick.bytes);
            if (verdict.empty()) verdict = watch.Check(now, tick.chunks, tick.bytes);
        }
        EXPECT_EQ(verdict, c.verdict) << c.what;
    }
}
