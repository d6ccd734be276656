// Writes a package deterministically: the same items give the same bytes on every machine and
// every run. Entries come in the given order with one fixed time and fixed attributes, names in
// UTF-8 with the UTF-8 flag; files are deflated by zlib at level 9 in parallel, in fixed chunks,
// or stored when deflating does not make them smaller. A different zlib build may deflate to
// other bytes, which is why the digest is printed every time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pack/release.h"

namespace zpvpack {

struct PackResult {
    std::uint64_t bytes = 0;      // package size
    std::uint64_t files = 0, folders = 0, stored = 0;
    std::uint64_t content = 0;    // sum of the file sizes
    std::string md5, sha256;      // of the package, lower-case hex
};

// Writes to a temporary file beside out and renames it into place only when complete; nothing
// is left behind on failure. threads: deflating workers (0: one per core).
bool WritePackage(const std::vector<Item>& items, const fs::path& out, PackResult* result, Failure* failure,
                  unsigned threads = 0);

}  // namespace zpvpack
