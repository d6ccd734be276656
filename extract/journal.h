// The commit journal: the whole plan of an extraction's moves, written and flushed before the
// first file of the target is touched, so that a later run can finish or undo a commit that was
// cut short. The format is described in extract/journal_format.txt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "extract/zip_reader.h"

namespace zpvx {

constexpr int kJournalVersion = 1;

// States, kept in one byte that is overwritten in place.
constexpr char kJournalPlanned = 'P';     // moves may have started: finish them
constexpr char kJournalUndoing = 'U';     // the commit failed: undo every move
constexpr char kJournalCommitted = 'C';   // all moves done: only old files remain to delete

struct JournalStep {
    enum Kind : char { kMakeDir = 'D', kPlace = 'N', kReplace = 'R' };
    Kind kind = kMakeDir;
    std::uint32_t slot = 0;   // kReplace: name of the old file in the old-files folder
    std::string rel;          // path in the target and in the staging folder ('/'-separated UTF-8)
    std::string oldRel;       // kReplace: the existing file's path as the folder lists it
};

// Builds a journal piece by piece (state kJournalPlanned), so that a long plan need not be held
// as text at once: take the bytes with Take() whenever convenient.
class JournalBuilder {
public:
    JournalBuilder();
    void Add(const JournalStep& step);
    void End();
    std::string Take();
    std::uint64_t StateOffset() const { return m_stateOffset; }

private:
    std::string m_pending;
    std::uint32_t m_crc = 0;
    std::uint64_t m_count = 0;
    std::uint64_t m_stateOffset = 0;
};

// Bounds of a journal this extractor ever writes (one step per name of an archive at most; the
// names fit the central directory's limit): a larger one was not left by it.
constexpr std::uint64_t kMaxJournalBytes = 256ull << 20;
constexpr std::uint64_t kMaxJournalSteps = ZipLimits().maxNodes;

// The journal's bytes for a plan, in state kJournalPlanned.
std::string JournalText(const std::vector<JournalStep>& steps);
// Offset of the state byte in a journal.
std::uint64_t JournalStateOffset(const std::string& text);

enum class JournalParse { kOk, kIncomplete, kNewer, kForeign };
// kIncomplete: not a whole journal (cut off while it was written: nothing was moved yet).
// kNewer: written by a later version of this format. kForeign: beyond the bounds above.
JournalParse ParseJournal(const std::string& text, char* state, std::vector<JournalStep>* steps);

// Reads a journal from a file without holding it: Open() checks the whole of it (bounds, every
// step line, the end line's count and CRC) before any step is handed out, keeping only where
// each line starts; Step() reads one line again.
class JournalReader {
public:
    JournalParse Open(ByteSource* src);
    char State() const { return m_state; }
    std::uint64_t StateOffset() const { return m_stateOffset; }
    std::size_t Count() const { return m_lines.empty() ? 0 : m_lines.size() - 1; }
    // False when the file no longer holds a valid step there.
    bool Step(std::size_t i, JournalStep* out) const;

private:
    ByteSource* m_src = nullptr;
    std::vector<std::uint64_t> m_lines;   // start of every step line, then of the end line
    char m_state = 0;
    std::uint64_t m_stateOffset = 0;
};

}  // namespace zpvx
