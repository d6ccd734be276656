#include "download/stall_watch.h"

#include <algorithm>

using std::chrono::milliseconds;

StallWatch::SpeedWatch::SpeedWatch(std::uint32_t windowMs, std::uint32_t minBytes, Clock::time_point now)
    : m_enabled(windowMs > 0 && minBytes > 0),
      m_minBytes(minBytes),
      m_period(milliseconds(std::max<std::uint32_t>(1, windowMs / kSlots))),
      m_next(Later(now)) {}

StallWatch::Clock::time_point StallWatch::SpeedWatch::Later(Clock::time_point now) const {
    return now + (m_enabled ? m_period : Clock::duration(milliseconds(3600000)));
}

bool StallWatch::SpeedWatch::Sample(Clock::time_point now, std::uint64_t received) {
    m_next = Later(now);
    if (!m_enabled || (m_taken == 0 && received == 0)) return false;
    const std::size_t slot = m_taken % kSlots;
    const bool slow = m_taken >= kSlots && received - m_samples[slot] < m_minBytes;
    m_samples[slot] = m_taken == 0 ? 0 : received;
    ++m_taken;
    return slow;
}

// The design's rule: once a first chunk arrived (looked for in firstChunkChecks checks), a
// stallMs window without a new chunk is a stall. The low-speed rule: fewer than lowSpeedBytes
// received by the four connections together in any lowSpeedTimeMs window is one too.
StallWatch::StallWatch(const DownloadTimings& t, std::int32_t chunks, Clock::time_point now)
    : m_timings(t),
      m_speed(t.lowSpeedTimeMs, t.lowSpeedBytes, now),
      m_seen(chunks),
      m_flowing(chunks != 0),
      m_checksLeft(t.firstChunkChecks),
      m_watching(m_flowing || m_checksLeft > 0),   // the design's rule still applies
      m_due(now + milliseconds(m_flowing ? t.stallMs : t.firstChunkCheckMs)) {}

StallWatch::Clock::time_point StallWatch::Next() const {
    return m_watching ? std::min(m_due, m_speed.Next()) : m_speed.Next();
}

std::string StallWatch::Check(Clock::time_point now, std::int32_t chunks, std::uint64_t received) {
    const DownloadTimings& t = m_timings;
    if (m_watching && now >= m_due) {
        if (m_flowing && chunks == m_seen) return "no data for " + std::to_string(t.stallMs) + " ms";
        if (m_flowing || chunks != 0) {
            m_flowing = true;
            m_seen = chunks;
            m_due = now + milliseconds(t.stallMs);
        } else if (--m_checksLeft == 0) {
            m_watching = false;   // nothing arrived yet: the read limit ends a silent server
        } else {
            m_due = now + milliseconds(t.firstChunkCheckMs);
        }
    }
    if (now >= m_speed.Next() && m_speed.Sample(now, received))
        return "fewer than " + std::to_string(t.lowSpeedBytes) + " bytes in " + std::to_string(t.lowSpeedTimeMs) + " ms";
    return std::string();
}
