// The commit journal: the whole plan of an extraction's moves, written and flushed before the
// first file of the target is touched, so that a later run can finish or undo a commit that was
// cut short. The format is described in extract/journal_format.txt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// The journal's bytes for a plan, in state kJournalPlanned.
std::string JournalText(const std::vector<JournalStep>& steps);
// Offset of the state byte in a journal.
std::uint64_t JournalStateOffset(const std::string& text);

enum class JournalParse { kOk, kIncomplete, kNewer };
// kIncomplete: not a whole journal (cut off while it was written: nothing was moved yet).
// kNewer: written by a later version of this format.
JournalParse ParseJournal(const std::string& text, char* state, std::vector<JournalStep>* steps);

}  // namespace zpvx
