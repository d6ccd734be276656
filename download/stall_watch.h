// The stall and low-speed watches of one attempt, as decisions on the times and counters they
// are given, so that they can be driven by a clock of a test's choosing.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "download/timings.h"

class StallWatch {
public:
    using Clock = std::chrono::steady_clock;

    // chunks: body chunks received so far (resumed segments may have some at the start).
    StallWatch(const DownloadTimings& timings, std::int32_t chunks, Clock::time_point now);
    // When Check() next has something to decide.
    Clock::time_point Next() const;
    // The reason the transfer counts as stalled at now, or empty. chunks and received count the
    // body chunks and bytes of the four connections together.
    std::string Check(Clock::time_point now, std::int32_t chunks, std::uint64_t received);

private:
    // Bytes received in a sliding window, sampled ten times per window. The window opens with
    // the first byte: before it, the other limits (connect, header, read) apply.
    class SpeedWatch {
    public:
        SpeedWatch(std::uint32_t windowMs, std::uint32_t minBytes, Clock::time_point now);
        Clock::time_point Next() const { return m_next; }
        // Takes the sample due at now; true when the last whole window got fewer than minBytes.
        bool Sample(Clock::time_point now, std::uint64_t received);

    private:
        static constexpr std::size_t kSlots = 10;
        Clock::time_point Later(Clock::time_point now) const;

        bool m_enabled;
        std::uint64_t m_minBytes;
        Clock::duration m_period;
        Clock::time_point m_next;
        std::uint64_t m_samples[kSlots] = {};
        std::size_t m_taken = 0;
    };

    DownloadTimings m_timings;
    SpeedWatch m_speed;
    std::int32_t m_seen;
    bool m_flowing;
    std::uint32_t m_checksLeft;
    bool m_watching;
    Clock::time_point m_due;
};
