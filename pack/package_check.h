// What the extractor checks before it touches the target, run on a package without extracting
// it: its structure and names (the extractor's own reader), every entry inflated against its
// size and CRC-32, short-name aliases, and the client's layout. Optionally, what the package
// would do to an installed client folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/release.h"

namespace zpvpack {

struct InstalledChanges {
    std::vector<std::string> add, replace, staysBehind;   // paths inside the client folder
    std::uint64_t unchanged = 0;
};

struct CheckResult {
    std::uint64_t files = 0, folders = 0, content = 0;
    Layout layout;
    InstalledChanges changes;   // with an installed folder only
};

// installed: the client folder the package would unpack over, or empty. threads: 0 for one
// per core. False with failure set when the updater would refuse the package (kRefused) or it
// cannot be read (kIoError).
bool CheckPackage(const fs::path& zip, const fs::path& installed, CheckResult* result, Failure* failure,
                  unsigned threads = 0);

}  // namespace zpvpack
