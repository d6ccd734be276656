// Installation of a downloaded and verified update package.
#pragma once

#include <cstdint>
#include <string>

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

// How an installation ended: ok when the package is installed (forced update) or left for the
// client's next start (optional update); otherwise failure says what went wrong, for the log.
struct InstallResult {
    bool ok = true;
    std::string failure;
};

// Stops the client, unpacks the package (forced updates), shows the launch window after a
// successful installation (the failure box after a failed one) and starts the client launcher
// again either way. Runs on the UI thread.
InstallResult InstallPackage(const ZipConf& package);

// True when an extractor status may turn out differently if the same package is tried again a
// little later: something on the machine that passes by itself (a file in use, a folder not yet
// creatable, a busy work folder). False for a refusal of the package itself, which the same
// bytes give every time, and for a state of the machine that only a person changes.
bool ExtractStatusMayPass(int status);
