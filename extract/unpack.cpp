#include "extract/unpack.h"

#include <algorithm>
#include <cstdlib>
#include <unordered_map>
#include <vector>

#include "app/core/ascii.h"
#include "extract/journal.h"
#include "extract/zip_path.h"

namespace zpvx {
namespace {

#ifdef _WIN32
const char kSeparators[] = "\\/";
#else
const char kSeparators[] = "/";
#endif
// The work folder holds the lock and one folder per extraction ("run-N") with the journal, the
// staging tree and the old files (flat, named by their slot in the journal).
const char kLockName[] = "lock";
const char kRunPrefix[] = "run-";
const char kJournalName[] = "journal";
const char kStageName[] = "stage";
const char kOldName[] = "old";

template <class S>
S Literal(const char* text) {
    S out;
    for (const char* p = text; *p; ++p) out.push_back(static_cast<typename S::value_type>(*p));
    return out;
}


int StatusOf(FsResult r, int otherwise) {
    switch (r) {
        case FsResult::kNoSpace: return ZPV_EXTRACT_DISK_FULL;
        case FsResult::kReadOnly: return ZPV_EXTRACT_READ_ONLY;
        case FsResult::kLocked: return ZPV_EXTRACT_FILE_LOCKED;
        case FsResult::kLink: return ZPV_EXTRACT_TARGET_CONFLICT;
        default: return otherwise;
    }
}

class FileSink : public EntrySink {
public:
    explicit FileSink(OutFile* f) : m_f(f) {}
    bool Write(const unsigned char* data, std::size_t n) override {
        m_result = m_f->Write(data, n);
        return m_result == FsResult::kOk;
    }
    FsResult Result() const { return m_result; }
private:
    OutFile* m_f;
    FsResult m_result = FsResult::kOk;
};

// Removes a tree as far as possible; true when it is gone.
bool RemoveTree(Fs& fs, const NativeString& path) {
    FsKind k = fs.Kind(path);
    if (k == FsKind::kNone) return true;
    if (k == FsKind::kDir) {
        std::vector<NativeString> names;
        fs.List(path, &names);
        for (const NativeString& n : names) RemoveTree(fs, fs.Child(path, n));
        return fs.RemoveDir(path) == FsResult::kOk;
    }
    return fs.RemoveFile(path) == FsResult::kOk;
}

bool IsEmptyDir(Fs& fs, const NativeString& path) {
    std::vector<NativeString> names;
    return !fs.List(path, &names) || names.empty();
}

struct RunDir {
    NativeString path, journal, stage, old;
    RunDir() = default;
    RunDir(Fs& fs, const NativeString& p)
        : path(p), journal(fs.Join(p, kJournalName)), stage(fs.Join(p, kStageName)), old(fs.Join(p, kOldName)) {}
};

// Removes a run folder whose moves never started or are all undone; the journal goes last. An
// old file still aside keeps the run folder.
void DiscardRun(Fs& fs, const RunDir& run) {
    RemoveTree(fs, run.stage);
    if (fs.RemoveDir(run.old) == FsResult::kExists) return;
    fs.RemoveFile(run.journal);
    fs.RemoveDir(run.path);
}

// Deletes the old files of a committed run: only the slots its journal lists. The run folder and
// its journal (still marked committed) stay while any old file remains, so a later run only ever
// deletes them.
void SettleCommitted(Fs& fs, const RunDir& run, const std::vector<std::uint32_t>& slots) {
    for (std::uint32_t slot : slots) fs.RemoveFile(fs.Child(run.old, fs.Native(std::to_string(slot))));
    if (!IsEmptyDir(fs, run.old)) return;
    RemoveTree(fs, run.stage);
    fs.RemoveDir(run.old);
    fs.RemoveFile(run.journal);
    fs.RemoveDir(run.path);
}

// Waits out a file held for a moment by another program (a scanner, an indexer), from a budget
// shared by every retried operation of one run.
template <class Op>
FsResult Retry(Fs& fs, unsigned* budget, Op op) {
    unsigned pause = 20;
    for (;;) {
        FsResult r = op();
        if (r != FsResult::kLocked || *budget == 0) return r;
        unsigned wait = std::min(pause, *budget);
        fs.SleepMs(wait);
        *budget -= wait;
        pause = std::min(pause * 2, 250u);
    }
}

// Carries out the steps of a journal. Every step reads its state from the file system (is the
// staged file still there, is the old file aside), so running a step twice, or after a crash in
// its middle, is harmless.
class Mover {
public:
    Mover(Fs& fs, const NativeString& target, const RunDir& run, unsigned retryMs)
        : m_fs(fs), m_target(target), m_run(run), m_budget(retryMs) {}

    // Steps 0 .. count-1 (step(i, &s) gives one) in order; the first failure's result (its path
    // in *failedRel), or kOk.
    template <class Steps>
    FsResult Forward(std::size_t count, Steps step, std::string* failedRel) {
        JournalStep s;
        for (std::size_t i = 0; i < count; ++i) {
            if (!step(i, &s)) return FsResult::kFailed;
            FsResult r = ForwardStep(s);
            if (r != FsResult::kOk) {
                *failedRel = s.rel;
                return r;
            }
        }
        return FsResult::kOk;
    }
    // Every step in reverse order; true when all are undone.
    template <class Steps>
    bool Undo(std::size_t count, Steps step) {
        bool complete = true;
        JournalStep s;
        for (std::size_t i = count; i-- > 0;)
            if (!step(i, &s) || UndoStep(s) != FsResult::kOk) complete = false;
        return complete;
    }
    // Overwrites the journal's state byte, waiting out a brief hold like the moves.
    FsResult Mark(std::uint64_t offset, char state) {
        return Retry(m_fs, &m_budget, [&] { return m_fs.PatchByte(m_run.journal, offset, state); });
    }

private:
    NativeString Old(const JournalStep& s) { return m_fs.Child(m_run.old, m_fs.Native(std::to_string(s.slot))); }

    FsResult ForwardStep(const JournalStep& s) {
        const NativeString t = m_fs.Join(m_target, s.rel);
        if (s.kind == JournalStep::kMakeDir) {
            FsKind k = m_fs.Kind(t);
            if (k == FsKind::kDir) return FsResult::kOk;
            if (k != FsKind::kNone) return FsResult::kFailed;
            FsResult r = m_fs.MakeDir(t);
            return r == FsResult::kExists && m_fs.Kind(t) == FsKind::kDir ? FsResult::kOk : r;
        }
        const NativeString staged = m_fs.Join(m_run.stage, s.rel);
        if (m_fs.Kind(staged) == FsKind::kNone) return m_fs.Kind(t) == FsKind::kFile ? FsResult::kOk : FsResult::kFailed;
        if (s.kind == JournalStep::kReplace) {
            const NativeString old = Old(s), existing = m_fs.Join(m_target, s.oldRel);
            if (m_fs.Kind(old) == FsKind::kNone && m_fs.Kind(existing) != FsKind::kNone) {
                FsResult r = RenameRetry(existing, old);
                if (r != FsResult::kOk) return r;
            }
        }
        FsResult r = RenameRetry(staged, t);
        if (r == FsResult::kOk) m_fs.InheritPermissions(t);
        return r;
    }

    FsResult UndoStep(const JournalStep& s) {
        const NativeString t = m_fs.Join(m_target, s.rel);
        if (s.kind == JournalStep::kMakeDir) {
            // Only a folder of ours: what is missing, reached through a link or holds something
            // else now is left.
            if (m_fs.Kind(t) != FsKind::kDir) return FsResult::kOk;
            FsResult r = m_fs.RemoveDir(t);
            return r == FsResult::kExists || r == FsResult::kNotFound ? FsResult::kOk : r;
        }
        const NativeString staged = m_fs.Join(m_run.stage, s.rel);
        const bool placed = m_fs.Kind(staged) == FsKind::kNone;
        if (s.kind == JournalStep::kPlace) {
            return placed && m_fs.Kind(t) == FsKind::kFile ? RenameRetry(t, staged) : FsResult::kOk;
        }
        const NativeString old = Old(s);
        if (m_fs.Kind(old) == FsKind::kNone) return FsResult::kOk;   // never moved aside, or back already
        if (placed) {
            FsResult r = RenameRetry(t, staged);
            if (r != FsResult::kOk) return r;
        }
        return RenameRetry(old, m_fs.Join(m_target, s.oldRel));
    }

    FsResult RenameRetry(const NativeString& from, const NativeString& to) {
        return Retry(m_fs, &m_budget, [&] { return m_fs.Rename(from, to); });
    }

    Fs& m_fs;
    NativeString m_target;
    RunDir m_run;
    unsigned m_budget;
};

class Unpacker {
public:
    explicit Unpacker(const ExtractOptions& o) : m_opt(o), m_ownFs(o.fs ? nullptr : NewRealFs()), m_fs(o.fs ? *o.fs : *m_ownFs) {}

    ExtractResult Run(const NativeString& zipPath, const NativeString& folder);

private:
    int Fail(int status, const std::string& why) {
        if (m_result.message.empty()) m_result.message = why;
        return status;
    }
    int PrepareTarget(const NativeString& folder, const NativeString& zipPath);
    int Recover();
    int CheckRun(const RunDir& run);
    int RecoverRun(const RunDir& run);
    int CheckStepPaths(const JournalReader& journal);
    int Stage(const NativeString& zipPath);
    int StageFolders();
    int StageEntry(const ZipEntry& e);
    int CheckTarget();
    int CheckFolder(std::uint32_t folder);
    std::string ActualRel(std::uint32_t node);
    NativeString ActualPath(std::uint32_t node);
    void PlanSteps();
    int WriteJournal();
    int Commit();
    void Finish(bool committed);

    const ExtractOptions& m_opt;
    std::unique_ptr<Fs> m_ownFs;
    Fs& m_fs;
    ExtractResult m_result;
    NativeString m_target, m_work;
    std::vector<NativeString> m_createdAncestors;   // target folders that did not exist before
    std::unique_ptr<DirLock> m_lock;
    std::unique_ptr<ByteSource> m_package;
    ZipReader m_reader;
    RunDir m_run;
    bool m_journalWritten = false;
    std::uint64_t m_stateOffset = 0;
    // Per node of the package's tree: present in the target; the listed name where its case differs.
    std::vector<unsigned char> m_exists;
    std::unordered_map<std::uint32_t, NativeString> m_actual;
    // The plan, compactly: its paths are made from the tree when a step is written or carried out.
    struct PlanStep {
        JournalStep::Kind kind;
        std::uint32_t slot;
        std::uint32_t node;
    };
    std::vector<PlanStep> m_plan;
    JournalStep StepOf(std::size_t i);
};

int Unpacker::PrepareTarget(const NativeString& folder, const NativeString& zipPath) {
    m_target = m_fs.Absolute(folder);
    // The target itself may be reached through a link (a client folder moved to another drive):
    // it is resolved once and everything happens below the folder it resolves to.
    NativeString resolved;
    FsResult cr = m_fs.Confine(m_target, &resolved);
    if (cr == FsResult::kNotFound) {
        // Create the missing folders from the outermost one, remembering them for a rollback.
        std::vector<NativeString> chain;
        NativeString p = m_target;
        while (m_fs.Kind(p) == FsKind::kNone) {
            chain.push_back(p);
            std::size_t sep = p.find_last_of(Literal<NativeString>(kSeparators));
            if (sep == NativeString::npos || sep == 0) break;
            p = p.substr(0, sep);
        }
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            FsResult r = m_fs.MakeDir(*it);
            if (r != FsResult::kOk) return Fail(StatusOf(r, ZPV_EXTRACT_TARGET_UNUSABLE), "cannot create the target folder");
            m_createdAncestors.push_back(*it);
        }
        cr = m_fs.Confine(m_target, &resolved);
    }
    if (cr != FsResult::kOk) return Fail(ZPV_EXTRACT_TARGET_UNUSABLE, "target is not a folder");
    // The package is the caller's choice: opened as given, before the confinement applies to it.
    m_package = m_fs.OpenRead(m_fs.Absolute(zipPath));
    m_target = resolved;

    m_work = m_fs.Join(m_target, kWorkFolderName);
    FsKind wk = m_fs.Kind(m_work);
    if (wk == FsKind::kNone) {
        FsResult r = m_fs.MakeDir(m_work);
        if (r != FsResult::kOk) return Fail(StatusOf(r, ZPV_EXTRACT_TARGET_UNUSABLE), "cannot create the work folder");
        m_fs.Hide(m_work);
    } else if (wk != FsKind::kDir) {
        return Fail(ZPV_EXTRACT_FOREIGN_WORK, "the work folder's name is taken by a file or link");
    }
    FsResult lr;
    m_lock = m_fs.Lock(m_fs.Join(m_work, kLockName), &lr);
    if (!m_lock) {
        return lr == FsResult::kLocked ? Fail(ZPV_EXTRACT_BUSY, "another extraction into this folder is running")
               : lr == FsResult::kLink ? Fail(ZPV_EXTRACT_FOREIGN_WORK, "the work folder's lock is a link or special file")
                                       : Fail(StatusOf(lr, ZPV_EXTRACT_TARGET_UNUSABLE), "cannot lock the work folder");
    }
    return ZPV_EXTRACT_OK;
}

namespace {

bool IsDecimal(const std::string& s, std::size_t from, std::size_t maxDigits) {
    if (s.size() <= from || s.size() - from > maxDigits) return false;
    for (std::size_t i = from; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

}  // namespace

// Settles what earlier runs left: interrupted commits are finished or undone, old files of
// finished ones deleted. The work folder must hold only what extractions leave: anything else
// (a link, a special file, an unknown name) is left as it is and the extraction refused.
int Unpacker::Recover() {
    std::vector<NativeString> names;
    if (!m_fs.List(m_work, &names)) return Fail(ZPV_EXTRACT_TARGET_UNUSABLE, "cannot list the work folder");
    std::vector<std::pair<unsigned long, NativeString>> runs;
    for (const NativeString& n : names) {
        const std::string name = m_fs.Display(n);
        const NativeString path = m_fs.Child(m_work, n);
        if (name == kLockName) continue;   // ours, held: opened as a regular file without links
        if (name.compare(0, sizeof kRunPrefix - 1, kRunPrefix) == 0 && IsDecimal(name, sizeof kRunPrefix - 1, 9) &&
            m_fs.Kind(path) == FsKind::kDir) {
            runs.emplace_back(std::stoul(name.substr(sizeof kRunPrefix - 1)), path);
            continue;
        }
        return Fail(ZPV_EXTRACT_FOREIGN_WORK, "the work folder holds \"" + name + "\", which no extraction leaves");
    }
    std::sort(runs.begin(), runs.end());
    for (const auto& r : runs) {
        const RunDir run(m_fs, r.second);
        int st = CheckRun(run);
        if (st == ZPV_EXTRACT_OK) st = RecoverRun(run);
        if (st) return st;
    }
    return ZPV_EXTRACT_OK;
}

// A run folder holds a journal (a regular file), a staging tree of folders and regular files,
// and a flat folder of old files named by number; nothing else, and no links anywhere.
int Unpacker::CheckRun(const RunDir& run) {
    const std::string where = m_fs.Display(run.path);
    auto foreign = [&](const NativeString& p) {
        return Fail(ZPV_EXTRACT_FOREIGN_WORK, "\"" + m_fs.Display(p) + "\" is not what an extraction leaves");
    };
    std::vector<NativeString> names;
    if (!m_fs.List(run.path, &names)) return Fail(ZPV_EXTRACT_TARGET_UNUSABLE, "cannot list " + where);
    for (const NativeString& n : names) {
        const NativeString p = m_fs.Child(run.path, n);
        const FsKind k = m_fs.Kind(p);
        if (!(p == run.journal && k == FsKind::kFile) && !((p == run.stage || p == run.old) && k == FsKind::kDir))
            return foreign(p);
    }
    if (m_fs.List(run.old, &names)) {
        for (const NativeString& n : names)
            if (!IsDecimal(m_fs.Display(n), 0, 10) || m_fs.Kind(m_fs.Child(run.old, n)) != FsKind::kFile)
                return foreign(m_fs.Child(run.old, n));
    }
    // The staging tree, without recursion (its depth is whatever was planted).
    std::vector<std::pair<NativeString, unsigned>> todo{{run.stage, 0}};
    std::uint64_t seen = 0;
    while (!todo.empty()) {
        const auto [dir, depth] = todo.back();
        todo.pop_back();
        if (!m_fs.List(dir, &names)) continue;
        for (const NativeString& n : names) {
            const NativeString p = m_fs.Child(dir, n);
            const FsKind k = m_fs.Kind(p);
            if (++seen > kMaxJournalSteps || (k == FsKind::kDir && depth >= kMaxPathDepth) ||
                (k != FsKind::kDir && k != FsKind::kFile))
                return foreign(p);
            if (k == FsKind::kDir) todo.emplace_back(p, depth + 1);
        }
    }
    return ZPV_EXTRACT_OK;
}

int Unpacker::RecoverRun(const RunDir& run) {
    unsigned budget = m_opt.lockRetryMs;
    std::unique_ptr<ByteSource> src;
    if (m_fs.Kind(run.journal) == FsKind::kFile) {
        FsResult r = Retry(m_fs, &budget, [&] {
            FsResult or_;
            src = m_fs.OpenRead(run.journal, &or_);
            return src ? FsResult::kOk : or_;
        });
        if (r == FsResult::kLocked)
            return Fail(ZPV_EXTRACT_ROLLBACK_INCOMPLETE, "the journal of an interrupted extraction is held by another program");
    }
    MemorySource none(nullptr, 0);
    JournalReader journal;
    switch (journal.Open(src ? src.get() : &none)) {
        case JournalParse::kNewer:
            return Fail(ZPV_EXTRACT_TARGET_UNUSABLE, "the work folder holds the journal of a newer version");
        case JournalParse::kForeign:
            return Fail(ZPV_EXTRACT_FOREIGN_WORK, "the work folder holds a journal larger than any extraction writes");
        case JournalParse::kIncomplete:
            // Cut off while it was written: nothing was moved. Old files beside it would say otherwise.
            if (!IsEmptyDir(m_fs, run.old)) return Fail(ZPV_EXTRACT_FOREIGN_WORK, "unreadable journal beside old files");
            src.reset();
            DiscardRun(m_fs, run);
            return ZPV_EXTRACT_OK;
        case JournalParse::kOk:
            break;
    }
    // Old files are only ever the slots the journal lists.
    std::vector<std::uint32_t> slots;
    JournalStep s;
    for (std::size_t i = 0; i < journal.Count(); ++i)
        if (journal.Step(i, &s) && s.kind == JournalStep::kReplace) slots.push_back(s.slot);
    std::sort(slots.begin(), slots.end());
    std::vector<NativeString> old;
    m_fs.List(run.old, &old);
    for (const NativeString& n : old) {
        const std::string name = m_fs.Display(n);
        const unsigned long long slot = std::strtoull(name.c_str(), nullptr, 10);
        if (slot > 0xFFFFFFFFull || std::to_string(slot) != name ||
            !std::binary_search(slots.begin(), slots.end(), static_cast<std::uint32_t>(slot)))
            return Fail(ZPV_EXTRACT_FOREIGN_WORK, "old file " + name + " is not listed by its journal");
    }
    char state = journal.State();
    if (state != kJournalCommitted)
        if (int st = CheckStepPaths(journal)) return st;

    auto step = [&journal](std::size_t i, JournalStep* out) { return journal.Step(i, out); };
    Mover mover(m_fs, m_target, run, budget);
    if (state == kJournalPlanned) {
        std::string failed;
        if (mover.Forward(journal.Count(), step, &failed) == FsResult::kOk) {
            // Old files are deleted only once the journal says so; until then the run stays.
            if (mover.Mark(journal.StateOffset(), kJournalCommitted) != FsResult::kOk)
                return Fail(ZPV_EXTRACT_ROLLBACK_INCOMPLETE, "an interrupted extraction could not be marked finished yet");
            state = kJournalCommitted;
        } else {
            mover.Mark(journal.StateOffset(), kJournalUndoing);   // unmarked, a later run finishes it instead
            state = kJournalUndoing;
        }
    }
    if (state == kJournalCommitted) {
        src.reset();
        SettleCommitted(m_fs, run, slots);
        return ZPV_EXTRACT_OK;
    }
    if (!mover.Undo(journal.Count(), step))
        return Fail(ZPV_EXTRACT_ROLLBACK_INCOMPLETE, "an interrupted extraction could not be undone yet");
    src.reset();
    DiscardRun(m_fs, run);
    return ZPV_EXTRACT_OK;
}

// Before an interrupted commit is finished or undone: each of its paths in the target is free
// or holds what the step expects there, and no folder on the way is a link.
int Unpacker::CheckStepPaths(const JournalReader& journal) {
    JournalStep s;
    for (std::size_t i = 0; i < journal.Count(); ++i) {
        if (!journal.Step(i, &s)) return Fail(ZPV_EXTRACT_ROLLBACK_INCOMPLETE, "the journal changed while it was read");
        for (const std::string* rel : {&s.rel, &s.oldRel}) {
            if (rel->empty()) continue;
            const FsKind k = m_fs.Kind(m_fs.Join(m_target, *rel));
            const FsKind want = s.kind == JournalStep::kMakeDir ? FsKind::kDir : FsKind::kFile;
            if (k != FsKind::kNone && k != want)
                return Fail(ZPV_EXTRACT_FOREIGN_WORK, "a link or other object stands on the path of " + *rel);
        }
    }
    return ZPV_EXTRACT_OK;
}

int Unpacker::StageFolders() {
    const PathTree& tree = m_reader.Tree();
    for (std::uint32_t n = 1; n < tree.Size(); ++n) {
        if (!tree.Node(n).isDir) continue;
        const NativeString p = m_fs.Join(m_run.stage, tree.Rel(n));
        FsResult r = m_fs.MakeDir(p);
        // Names that differ only in ways the file system ignores meet here: one folder serves both.
        if (r != FsResult::kOk && !(r == FsResult::kExists && m_fs.Kind(p) == FsKind::kDir))
            return Fail(StatusOf(r, ZPV_EXTRACT_WRITE_FAILED), "cannot create staging folder " + tree.Rel(n));
    }
    return ZPV_EXTRACT_OK;
}

int Unpacker::StageEntry(const ZipEntry& e) {
    FsResult cr;
    std::unique_ptr<OutFile> out = m_fs.CreateNew(m_fs.Join(m_run.stage, e.rel), &cr);
    if (!out) {
        // Names that differ only in ways the file system ignores end up here.
        return cr == FsResult::kExists ? Fail(ZPV_EXTRACT_DUPLICATE_ENTRY, "two entries for " + e.rel)
                                       : Fail(StatusOf(cr, ZPV_EXTRACT_WRITE_FAILED), "cannot create " + e.rel);
    }
    FileSink sink(out.get());
    int st = m_reader.ReadEntry(e, &sink);
    if (st == ZPV_EXTRACT_WRITE_FAILED) return Fail(StatusOf(sink.Result(), st), "cannot write " + e.rel);
    if (st) return Fail(st, m_reader.Error());
    FsResult fr = out->Finish(e.dosDate, e.dosTime);
    if (fr != FsResult::kOk) return Fail(StatusOf(fr, ZPV_EXTRACT_WRITE_FAILED), "cannot write " + e.rel);
    return ZPV_EXTRACT_OK;
}

int Unpacker::Stage(const NativeString& zipPath) {
    if (!m_package) return Fail(ZPV_EXTRACT_ARCHIVE_UNREADABLE, "cannot open the package " + m_fs.Display(zipPath));
    int st = m_reader.Open(m_package.get(), m_opt.limits);
    if (st) return Fail(st, m_reader.Error());

    for (unsigned n = 1;; ++n) {
        NativeString p = m_fs.Join(m_work, kRunPrefix + std::to_string(n));
        if (m_fs.Kind(p) != FsKind::kNone) {
            if (n > 1000) return Fail(ZPV_EXTRACT_TARGET_UNUSABLE, "work folder is full of leftovers");
            continue;
        }
        FsResult r = m_fs.MakeDir(p);
        if (r != FsResult::kOk) return Fail(StatusOf(r, ZPV_EXTRACT_TARGET_UNUSABLE), "cannot create the run folder");
        m_run = RunDir(m_fs, p);
        break;
    }
    FsResult r = m_fs.MakeDir(m_run.stage);
    if (r == FsResult::kOk) r = m_fs.MakeDir(m_run.old);
    if (r != FsResult::kOk) return Fail(StatusOf(r, ZPV_EXTRACT_TARGET_UNUSABLE), "cannot create the staging folder");
    if ((st = StageFolders())) return st;

    // Sequential reading in archive order.
    const std::vector<ZipEntry>& entries = m_reader.Entries();
    std::vector<const ZipEntry*> order;
    for (const ZipEntry& e : entries)
        if (!e.isDir) order.push_back(&e);
    std::sort(order.begin(), order.end(),
              [](const ZipEntry* a, const ZipEntry* b) { return a->headerOffset < b->headerOffset; });
    for (const ZipEntry* e : order)
        if ((st = StageEntry(*e))) return st;
    m_package.reset();   // the package is closed here, before anything moves
    return ZPV_EXTRACT_OK;
}

NativeString Unpacker::ActualPath(std::uint32_t node) {
    std::vector<std::uint32_t> chain;
    for (std::uint32_t n = node; n != 0; n = m_reader.Tree().Node(n).parent) chain.push_back(n);
    NativeString p = m_target;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        auto a = m_actual.find(*it);
        p = m_fs.Child(p, a != m_actual.end() ? a->second : m_fs.Native(m_reader.Tree().Name(*it)));
    }
    return p;
}

std::string Unpacker::ActualRel(std::uint32_t node) {
    std::vector<std::uint32_t> chain;
    for (std::uint32_t n = node; n != 0; n = m_reader.Tree().Node(n).parent) chain.push_back(n);
    std::string rel;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!rel.empty()) rel.push_back('/');
        auto a = m_actual.find(*it);
        rel += a != m_actual.end() ? m_fs.Display(a->second) : m_reader.Tree().Name(*it);
    }
    return rel;
}

// Matches the children of one existing folder against the names the folder lists. A name that
// the file system resolves but the listing does not show (a short-name alias, say) would make
// the package replace a file it does not name: refused.
int Unpacker::CheckFolder(std::uint32_t folder) {
    const PathTree& tree = m_reader.Tree();
    const NativeString dir = ActualPath(folder);
    std::vector<NativeString> listed;
    if (!m_fs.List(dir, &listed)) return Fail(ZPV_EXTRACT_TARGET_UNUSABLE, "cannot list " + m_fs.Display(dir));
    std::unordered_map<NativeString, std::size_t> byFold;
    for (std::size_t i = 0; i < listed.size(); ++i) byFold.emplace(AsciiLowered(listed[i]), i);
    for (const std::uint32_t* c = tree.ChildrenBegin(folder); c != tree.ChildrenEnd(folder); ++c) {
        const NativeString want = m_fs.Native(tree.Name(*c));
        const NativeString* match = nullptr;
        auto it = byFold.find(AsciiLowered(want));
        if (it != byFold.end() && m_fs.SameName(listed[it->second], want)) match = &listed[it->second];
        if (!match) {
            if (m_fs.Kind(m_fs.Child(dir, want)) == FsKind::kNone) continue;   // absent, and all below it
            for (const NativeString& l : listed)
                if (m_fs.SameName(l, want)) match = &l;
            if (!match)
                return Fail(ZPV_EXTRACT_NAME_ALIAS, "\"" + tree.Rel(*c) + "\" reaches an existing file under another name");
        }
        const bool isDir = tree.Node(*c).isDir;
        const FsKind k = m_fs.Kind(m_fs.Child(dir, *match));
        if (isDir ? k != FsKind::kDir : k != FsKind::kFile) {
            return Fail(ZPV_EXTRACT_TARGET_CONFLICT, std::string("the target has ") + (isDir ? "a file or link" : "a folder or link") +
                                                         " where " + tree.Rel(*c) + " goes");
        }
        m_exists[*c] = 1;
        if (*match != want) m_actual[*c] = *match;
    }
    return ZPV_EXTRACT_OK;
}

int Unpacker::CheckTarget() {
    const PathTree& tree = m_reader.Tree();
    m_exists.assign(tree.Size(), 0);
    m_exists[0] = 1;
    // Parents come before their children, so every existing folder is checked before its content.
    for (std::uint32_t n = 0; n < tree.Size(); ++n) {
        if (!m_exists[n] || !tree.Node(n).isDir) continue;
        if (int st = CheckFolder(n)) return st;
    }
    return ZPV_EXTRACT_OK;
}

// Folders first (parents before children), then files; the updater's own files last of all,
// ZPVUpdate.exe at the very end, so that an interruption leaves a working updater behind.
void Unpacker::PlanSteps() {
    const PathTree& tree = m_reader.Tree();
    auto nameIs = [&](std::uint32_t n, const char* name) { return AsciiLowered(tree.Name(n)) == name; };
    std::vector<unsigned char> updaterDir(tree.Size(), 0);
    for (std::uint32_t n = 1; n < tree.Size(); ++n)
        if (!tree.Node(n).isDir && (nameIs(n, "zpvupdate.exe") || nameIs(n, "zlib.dll"))) updaterDir[tree.Node(n).parent] = 1;
    std::vector<std::pair<int, std::uint32_t>> files;
    for (std::uint32_t n = 1; n < tree.Size(); ++n) {
        const PathNode& node = tree.Node(n);
        if (updaterDir[node.parent]) updaterDir[n] = node.isDir ? 1 : 0;   // folders inside it too
        if (node.isDir) {
            if (!m_exists[n]) m_plan.push_back(PlanStep{JournalStep::kMakeDir, 0, n});
            continue;
        }
        int rank = nameIs(n, "zpvupdate.exe") ? 3 : nameIs(n, "zlib.dll") ? 2 : updaterDir[node.parent] ? 1 : 0;
        files.emplace_back(rank, n);
    }
    std::stable_sort(files.begin(), files.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::uint32_t slot = 0;
    for (const auto& f : files) {
        if (m_exists[f.second])
            m_plan.push_back(PlanStep{JournalStep::kReplace, slot++, f.second});
        else
            m_plan.push_back(PlanStep{JournalStep::kPlace, 0, f.second});
    }
}

JournalStep Unpacker::StepOf(std::size_t i) {
    const PlanStep& p = m_plan[i];
    JournalStep s{p.kind, p.slot, m_reader.Tree().Rel(p.node), {}};
    if (p.kind == JournalStep::kReplace) s.oldRel = ActualRel(p.node);
    return s;
}

int Unpacker::WriteJournal() {
    JournalBuilder builder;
    m_stateOffset = builder.StateOffset();
    FsResult r;
    std::unique_ptr<OutFile> out = m_fs.CreateNew(m_run.journal, &r);
    for (std::size_t i = 0; out && r == FsResult::kOk && i <= m_plan.size(); ++i) {
        if (i < m_plan.size()) builder.Add(StepOf(i));
        else builder.End();
        if (i == m_plan.size() || (i & 1023) == 1023) {
            const std::string piece = builder.Take();
            r = out->Write(piece.data(), piece.size());
        }
    }
    if (out && r == FsResult::kOk) r = out->Sync();
    if (out && r == FsResult::kOk) r = out->Finish(0, 0);
    if (r == FsResult::kOk) r = m_fs.SyncDir(m_run.path);
    if (r == FsResult::kOk) r = m_fs.SyncDir(m_work);
    if (r != FsResult::kOk) return Fail(StatusOf(r, ZPV_EXTRACT_TARGET_UNUSABLE), "cannot write the journal");
    m_journalWritten = true;
    return ZPV_EXTRACT_OK;
}

int Unpacker::Commit() {
    int st = CheckTarget();
    if (st) return st;
    PlanSteps();
    if ((st = WriteJournal())) return st;
    std::string failed;
    auto step = [this](std::size_t i, JournalStep* out) { return *out = StepOf(i), true; };
    Mover mover(m_fs, m_target, m_run, m_opt.lockRetryMs);
    FsResult r = mover.Forward(m_plan.size(), step, &failed);
    if (r == FsResult::kOk) {
        // Old files are deleted only once the journal says committed; a mark that did not stick
        // fails the extraction like any other step, and every move is undone.
        r = mover.Mark(m_stateOffset, kJournalCommitted);
        if (r == FsResult::kOk) {
            std::vector<std::uint32_t> slots;
            for (const PlanStep& p : m_plan)
                if (p.kind == JournalStep::kReplace) slots.push_back(p.slot);
            SettleCommitted(m_fs, m_run, slots);
            return ZPV_EXTRACT_OK;
        }
        failed = "the journal";
    }
    st = StatusOf(r, ZPV_EXTRACT_COMMIT_FAILED);
    Fail(st, (r == FsResult::kLocked ? "file in use: " : "cannot move into place: ") + failed);
    mover.Mark(m_stateOffset, kJournalUndoing);   // unmarked, a later run may finish it instead
    if (!mover.Undo(m_plan.size(), step)) return ZPV_EXTRACT_ROLLBACK_INCOMPLETE;
    DiscardRun(m_fs, m_run);
    return st;
}

// Removes what this run leaves no use for: its run folder when nothing was moved, the lock, an
// empty work folder, and target folders made for a failed extraction.
void Unpacker::Finish(bool committed) {
    m_package.reset();
    if (!m_run.path.empty() && !m_journalWritten) DiscardRun(m_fs, m_run);
    m_lock.reset();
    if (!m_work.empty() && IsEmptyDir(m_fs, m_work)) m_fs.RemoveDir(m_work);
    if (!committed) {
        for (auto it = m_createdAncestors.rbegin(); it != m_createdAncestors.rend(); ++it) m_fs.RemoveDir(*it);
    }
}

ExtractResult Unpacker::Run(const NativeString& zipPath, const NativeString& folder) {
    int st = PrepareTarget(folder, zipPath);
    if (st == ZPV_EXTRACT_OK) st = Recover();
    if (st == ZPV_EXTRACT_OK) st = Stage(zipPath);
    if (st == ZPV_EXTRACT_OK) st = Commit();
    m_result.status = st;
    Finish(st == ZPV_EXTRACT_OK);
    if (m_result.status == ZPV_EXTRACT_OK) m_result.message.clear();
    return m_result;
}

}  // namespace

ExtractResult ExtractArchive(const NativeString& zipPath, const NativeString& folder, const ExtractOptions& options) {
    Unpacker unpacker(options);
    return unpacker.Run(zipPath, folder);
}

}  // namespace zpvx
