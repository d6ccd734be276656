// Archive reader on arbitrary bytes: opens, then streams every entry through the verification.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "extract/extract_status.h"
#include "extract/journal.h"
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
    // The same bytes as a commit journal found in a work folder: whatever is read as a plan
    // must be written back to the same plan.
    char state = 0;
    std::vector<zpvx::JournalStep> steps, again;
    if (zpvx::ParseJournal(std::string(reinterpret_cast<const char*>(data), size), &state, &steps) ==
        zpvx::JournalParse::kOk) {
        if (zpvx::ParseJournal(zpvx::JournalText(steps), &state, &again) != zpvx::JournalParse::kOk ||
            again.size() != steps.size())
            __builtin_trap();
    }

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
