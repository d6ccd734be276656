// Time limits of the download engine. Tests shorten them; the defaults are the product's.
#pragma once

#include <cstdint>

#include "app/core/setting.h"
#include "http/connection_limits.h"

// The connections' limits (connect, header, read) and the attempt's own.
struct DownloadTimings : ConnectionLimits {
    // Stall monitor: checks for a first body chunk, and their spacing.
    std::uint32_t firstChunkChecks = 5;
    std::uint32_t firstChunkCheckMs = 1000;
    // Stall monitor: once data flows, a window without any new chunk ends the transfer.
    std::uint32_t stallMs = 5000;
    // Low speed: the four segments together must receive at least lowSpeedBytes in every
    // lowSpeedTimeMs window, or the transfer is taken for a stall (a server that trickles).
    std::uint32_t lowSpeedBytes = 1024;
    std::uint32_t lowSpeedTimeMs = 30000;
    // The verified package is put in place while another program holds it for at most this
    // long; after that it stays as "update.td" for the next attempt.
    std::uint32_t holdGiveUpMs = 10000;
};

namespace settings {
// The limits of every later attempt: each attempt reads them once, at its start.
inline Setting<DownloadTimings> downloadTimings;
}  // namespace settings
