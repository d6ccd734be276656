// Time limits of one HTTP connection. The download engine's timings extend them; the defaults
// are the product's.
#pragma once

#include <cstdint>

struct ConnectionLimits {
    // Name lookup and TCP connection together.
    std::uint32_t connectTimeoutMs = 15000;
    // The response header must be complete within this time of the request; over TLS the
    // request starts with the handshake, which thus falls under this limit too.
    std::uint32_t headerTimeoutMs = 30000;
    // Longest wait for one request write or one read, so that a server that accepts and then
    // stays silent fails the attempt.
    std::uint32_t ioTimeoutMs = 15000;
};
