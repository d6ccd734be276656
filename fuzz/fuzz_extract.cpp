// Archive reader on arbitrary bytes: opens, then streams every entry through the verification.
#include <cstddef>
#include <cstdint>

#include "extract/extract_status.h"
#include "extract/zip_reader.h"

namespace {
class CountingSink : public zpvx::EntrySink {
public:
    bool Write(const unsigned char*, std::size_t n) override {
        total += n;
        return true;
    }
    std::uint64_t total = 0;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    zpvx::MemorySource src(data, size);
    zpvx::ZipReader reader;
    if (reader.Open(&src) != ZPV_EXTRACT_OK) return 0;
    for (const zpvx::ZipEntry& e : reader.Entries()) {
        CountingSink sink;
        int st = reader.ReadEntry(e, &sink);
        // Output never exceeds the declared size by more than the one byte that reveals a lie.
        if (sink.total > e.size + 1) __builtin_trap();
        if (st == ZPV_EXTRACT_OK && sink.total != e.size) __builtin_trap();
    }
    return 0;
}
