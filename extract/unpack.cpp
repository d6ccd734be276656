#include "extract/unpack.h"

#include <algorithm>
#include <unordered_map>
#include <vector>

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

template <class S>
S AsciiLower(S s) {
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<typename S::value_type>(c - 'A' + 'a');
    return s;
}

int StatusOf(FsResult r, int otherwise) {
    switch (r) {
        case FsResult::kNoSpace: return ZPV_EXTRACT_DISK_FULL;
        case FsResult::kReadOnly: return ZPV_EXTRACT_READ_ONLY;
        case FsResult::kLocked: return ZPV_EXTRACT_FILE_LOCKED;
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

// Removes a run folder whose moves never started or are all undone; the journal goes last.
void DiscardRun(Fs& fs, const RunDir& run) {
    RemoveTree(fs, run.stage);
    RemoveTree(fs, run.old);
    fs.RemoveFile(run.journal);
    fs.RemoveDir(run.path);
}

// Deletes the old files of a committed run. The run folder and its journal (still marked
// committed) stay while any old file remains, so a later run only ever deletes them.
void SettleCommitted(Fs& fs, const RunDir& run) {
    std::vector<NativeString> names;
    fs.List(run.old, &names);
    for (const NativeString& n : names) RemoveTree(fs, fs.Child(run.old, n));
    if (!IsEmptyDir(fs, run.old)) return;
    RemoveTree(fs, run.stage);
    fs.RemoveDir(run.old);
    fs.RemoveFile(run.journal);
    fs.RemoveDir(run.path);
}

// Carries out the steps of a journal. Every step reads its state from the file system (is the
// staged file still there, is the old file aside), so running a step twice, or after a crash in
// its middle, is harmless.
class Mover {
public:
    Mover(Fs& fs, const NativeString& target, const RunDir& run, unsigned retryMs)
        : m_fs(fs), m_target(target), m_run(run), m_budget(retryMs) {}

    // Steps 0 .. count-1 (step(i) gives one) in order; the first failure's result (its path in
    // *failedRel), or kOk.
    template <class Steps>
    FsResult Forward(std::size_t count, Steps step, std::string* failedRel) {
        for (std::size_t i = 0; i < count; ++i) {
            const JournalStep& s = step(i);
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
        for (std::size_t i = count; i-- > 0;)
            if (UndoStep(step(i)) != FsResult::kOk) complete = false;
        return complete;
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
        return RenameRetry(staged, t);
    }

    FsResult UndoStep(const JournalStep& s) {
        const NativeString t = m_fs.Join(m_target, s.rel);
        if (s.kind == JournalStep::kMakeDir) {
            if (m_fs.Kind(t) == FsKind::kNone) return FsResult::kOk;
            FsResult r = m_fs.RemoveDir(t);
            // A folder that holds something else now is left; nothing of ours is in it.
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
        unsigned pause = 20;
        for (;;) {
            FsResult r = m_fs.Rename(from, to);
            if (r != FsResult::kLocked || m_budget == 0) return r;
            unsigned wait = std::min(pause, m_budget);
            m_fs.SleepMs(wait);
            m_budget -= wait;
            pause = std::min(pause * 2, 250u);
        }
    }

    Fs& m_fs;
    NativeString m_target;
    RunDir m_run;
    unsigned m_budget;
};

class Unpacker {
public:
    explicit Unpacker(const ExtractOptions& o) : m_opt(o), m_fs(o.fs ? *o.fs : RealFs()) {}

    ExtractResult Run(const NativeString& zipPath, const NativeString& folder);

private:
    int Fail(int status, const std::string& why) {
        if (m_result.message.empty()) m_result.message = why;
        return status;
    }
    int PrepareTarget(const NativeString& folder);
    int Recover();
    int RecoverRun(const RunDir& run);
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

int Unpacker::PrepareTarget(const NativeString& folder) {
    m_target = m_fs.Absolute(folder);
    FsKind k = m_fs.Kind(m_target);
    if (k != FsKind::kDir) {
        if (k != FsKind::kNone) return Fail(ZPV_EXTRACT_TARGET_UNUSABLE, "target is not a folder");
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
    }
    m_work = m_fs.Join(m_target, kWorkFolderName);
    FsKind wk = m_fs.Kind(m_work);
    if (wk == FsKind::kNone) {
        FsResult r = m_fs.MakeDir(m_work);
        if (r != FsResult::kOk) return Fail(StatusOf(r, ZPV_EXTRACT_TARGET_UNUSABLE), "cannot create the work folder");
        m_fs.Hide(m_work);
    } else if (wk != FsKind::kDir) {
        return Fail(ZPV_EXTRACT_TARGET_UNUSABLE, "work folder name is taken");
    }
    FsResult lr;
    m_lock = m_fs.Lock(m_fs.Join(m_work, kLockName), &lr);
    if (!m_lock) {
        return lr == FsResult::kLocked ? Fail(ZPV_EXTRACT_BUSY, "another extraction into this folder is running")
                                       : Fail(StatusOf(lr, ZPV_EXTRACT_TARGET_UNUSABLE), "cannot lock the work folder");
    }
    return ZPV_EXTRACT_OK;
}

// Settles what earlier runs left: interrupted commits are finished or undone, old files of
// finished ones deleted.
int Unpacker::Recover() {
    std::vector<NativeString> names;
    if (!m_fs.List(m_work, &names)) return Fail(ZPV_EXTRACT_TARGET_UNUSABLE, "cannot list the work folder");
    const NativeString prefix = Literal<NativeString>(kRunPrefix);
    std::vector<std::pair<unsigned long, NativeString>> runs;
    for (const NativeString& n : names) {
        if (n.compare(0, prefix.size(), prefix) != 0 || n.size() > prefix.size() + 9) continue;
        unsigned long id = 0;
        bool digits = n.size() > prefix.size();
        for (std::size_t i = prefix.size(); i < n.size() && digits; ++i) {
            digits = n[i] >= '0' && n[i] <= '9';
            id = id * 10 + static_cast<unsigned long>(n[i] - '0');
        }
        if (digits) runs.emplace_back(id, m_fs.Child(m_work, n));
    }
    std::sort(runs.begin(), runs.end());
    for (const auto& r : runs) {
        int st = RecoverRun(RunDir(m_fs, r.second));
        if (st) return st;
    }
    return ZPV_EXTRACT_OK;
}

int Unpacker::RecoverRun(const RunDir& run) {
    std::string text;
    if (std::unique_ptr<ByteSource> src = m_fs.OpenRead(run.journal)) {
        text.resize(static_cast<std::size_t>(src->Size()));
        if (!text.empty() && !src->ReadAt(0, &text[0], text.size())) text.clear();
    }
    char state = 0;
    std::vector<JournalStep> steps;
    switch (ParseJournal(text, &state, &steps)) {
        case JournalParse::kNewer:
            return Fail(ZPV_EXTRACT_TARGET_UNUSABLE, "the work folder holds the journal of a newer version");
        case JournalParse::kIncomplete:
            // Cut off while it was written: nothing was moved. Old files beside it would say otherwise.
            if (!IsEmptyDir(m_fs, run.old)) return Fail(ZPV_EXTRACT_TARGET_UNUSABLE, "unreadable journal beside old files");
            DiscardRun(m_fs, run);
            return ZPV_EXTRACT_OK;
        case JournalParse::kOk:
            break;
    }
    const std::uint64_t stateAt = JournalStateOffset(text);
    auto step = [&steps](std::size_t i) -> const JournalStep& { return steps[i]; };
    if (state == kJournalPlanned) {
        std::string failed;
        if (Mover(m_fs, m_target, run, m_opt.lockRetryMs).Forward(steps.size(), step, &failed) == FsResult::kOk) {
            m_fs.PatchByte(run.journal, stateAt, kJournalCommitted);
            state = kJournalCommitted;
        } else {
            m_fs.PatchByte(run.journal, stateAt, kJournalUndoing);
            state = kJournalUndoing;
        }
    }
    if (state == kJournalCommitted) {
        SettleCommitted(m_fs, run);
        return ZPV_EXTRACT_OK;
    }
    if (!Mover(m_fs, m_target, run, m_opt.lockRetryMs).Undo(steps.size(), step))
        return Fail(ZPV_EXTRACT_ROLLBACK_INCOMPLETE, "an interrupted extraction could not be undone yet");
    DiscardRun(m_fs, run);
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
    m_package = m_fs.OpenRead(m_fs.Absolute(zipPath));
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
    for (std::size_t i = 0; i < listed.size(); ++i) byFold.emplace(AsciiLower(listed[i]), i);
    for (const std::uint32_t* c = tree.ChildrenBegin(folder); c != tree.ChildrenEnd(folder); ++c) {
        const NativeString want = m_fs.Native(tree.Name(*c));
        const NativeString* match = nullptr;
        auto it = byFold.find(AsciiLower(want));
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
    auto nameIs = [&](std::uint32_t n, const char* name) { return AsciiLower(tree.Name(n)) == name; };
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
    auto step = [this](std::size_t i) { return StepOf(i); };
    FsResult r = Mover(m_fs, m_target, m_run, m_opt.lockRetryMs).Forward(m_plan.size(), step, &failed);
    if (r == FsResult::kOk) {
        m_fs.PatchByte(m_run.journal, m_stateOffset, kJournalCommitted);
        SettleCommitted(m_fs, m_run);
        return ZPV_EXTRACT_OK;
    }
    st = StatusOf(r, ZPV_EXTRACT_COMMIT_FAILED);
    Fail(st, (r == FsResult::kLocked ? "file in use: " : "cannot move into place: ") + failed);
    m_fs.PatchByte(m_run.journal, m_stateOffset, kJournalUndoing);
    if (!Mover(m_fs, m_target, m_run, m_opt.lockRetryMs).Undo(m_plan.size(), step)) return ZPV_EXTRACT_ROLLBACK_INCOMPLETE;
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
    int st = PrepareTarget(folder);
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
