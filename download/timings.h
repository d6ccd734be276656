// Time limits of the download engine. Tests shorten them; the defaults are the product's.
#pragma once

#include <cstdint>

struct DownloadTimings {
    // Stall monitor: checks for a first body chunk, and their spacing.
    std::uint32_t firstChunkChecks = 5;
    std::uint32_t firstChunkCheckMs = 1000;
    // Stall monitor: once data flows, a window without any new chunk ends the transfer.
    std::uint32_t stallMs = 5000;
    // Low speed: the four segments together must receive at least lowSpeedBytes in every
    // lowSpeedTimeMs window, or the transfer is taken for a stall (a server that trickles).
    std::uint32_t lowSpeedBytes = 1024;
    std::uint32_t lowSpeedTimeMs = 30000;
    // Name lookup and TCP connection together.
    std::uint32_t connectTimeoutMs = 15000;
    // The response header must be complete within this time of the request; over TLS the
    // request starts with the handshake, which thus falls under this limit too.
    std::uint32_t headerTimeoutMs = 30000;
    // Longest wait for one request write or one read, so that a server that accepts and then
    // stays silent fails the attempt.
    std::uint32_t ioTimeoutMs = 15000;
};

// Snapshot of the current limits (each attempt reads them once at its start).
DownloadTimings GetDownloadTimings();
void SetDownloadTimings(const DownloadTimings& timings);
