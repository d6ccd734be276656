// Installation of a downloaded and verified update package.
#pragma once

#include <cstdint>

#include "app/core/setting.h"
#include "app/core/zipconf.h"

// Pauses and limits of the installation. Tests shorten them; the defaults are the product's.
struct InstallTimings {
    std::uint32_t stopPauseMs = 500;             // after each attempt to stop the client
    std::uint32_t clientStopGiveUpMs = 30000;    // a client that keeps running is given up on
    std::uint32_t extractPauseMs = 500;          // before each extraction
    std::uint32_t installGiveUpMs = 60000;       // repeated installation failures are given up
    std::uint32_t installRetryPauseMs = 2000;    // between two installation attempts
    std::uint32_t launchPauseMs = 300;           // before the launch window
};

namespace settings {
inline Setting<InstallTimings> installTimings;
}  // namespace settings

// Stops the client, unpacks the package (forced updates), shows the launch window and starts
// the client launcher again. Runs on the UI thread.
void InstallPackage(const ZipConf& package);
