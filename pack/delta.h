// A package of what changed between two releases, for clients known to hold the older one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/release.h"

namespace zpvpack {

struct Delta {
    std::vector<Item> items;          // the top folder, new folders, new and changed files
    std::vector<std::string> gone;    // in OLD, not in NEW: the updater leaves them in place
    std::uint64_t added = 0, changed = 0, unchanged = 0, unchangedBytes = 0;
};

// Both lists as ScanRelease gives them. Refused when the two are not the same client folder or
// a path changes between file and folder (the updater does not replace one with the other).
bool MakeDelta(const std::vector<Item>& oldItems, const std::vector<Item>& newItems, Delta* delta, Failure* failure);

}  // namespace zpvpack
