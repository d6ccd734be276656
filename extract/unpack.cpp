#include "extract/unpack.h"

#include <algorithm>
#include <set>
#include <vector>

#include "extract/zip_path.h"

namespace zpvx {
namespace {

#ifdef _WIN32
const char kSeparators[] = "\\/";
#else
const char kSeparators[] = "/";
#endif
const char kOldPrefix[] = "old-";
const char kStagePrefix[] = "stage-";
const char kLockName[] = "lock";
// An old-files folder holds the replaced files under kOldFiles, and kCommittedMark once its
// extraction completed: then later runs only delete there.
const char kOldFiles[] = "files";
const char kCommittedMark[] = "committed";

class FileSink : public EntrySink {
public:
    explicit FileSink(OutFile* f) : m_f(f) {}
    bool Write(const unsigned char* data, std::size_t n) override { return m_f->Write(data, n); }
private:
    OutFile* m_f;
};

NativeString Literal(Fs& fs, const char* text) {
    NativeString out;
    for (const char* p = text; *p; ++p) out.push_back(static_cast<typename NativeString::value_type>(*p));
    return out;
}

std::string ParentOf(const std::string& rel) {
    std::size_t slash = rel.rfind('/');
    return slash == std::string::npos ? std::string() : rel.substr(0, slash);
}

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

// An old-files folder left by an earlier run. If that extraction did not complete (the process
// died, or its rollback was cut short), an old file whose place in the target is empty is put
// back; everything else there is an outdated copy and is deleted where possible.
void SettleOldTree(Fs& fs, const NativeString& oldDir, const NativeString& targetDir, bool committed) {
    std::vector<NativeString> names;
    if (!fs.List(oldDir, &names)) return;
    for (const NativeString& n : names) {
        NativeString from = fs.Child(oldDir, n), to = fs.Child(targetDir, n);
        if (fs.Kind(from) == FsKind::kDir) {
            SettleOldTree(fs, from, to, committed);
            fs.RemoveDir(from);
            continue;
        }
        if (!committed && fs.Kind(to) == FsKind::kNone && fs.Kind(targetDir) == FsKind::kDir &&
            fs.Rename(from, to) == FsResult::kOk)
            continue;
        fs.RemoveFile(from);
    }
}

class Unpacker {
public:
    Unpacker(const ExtractOptions& o) : m_opt(o), m_fs(o.fs ? *o.fs : RealFs()) {}

    ExtractResult Run(const NativeString& zipPath, const NativeString& folder);

private:
    int Fail(int status, const std::string& why) {
        if (m_result.message.empty()) m_result.message = why;
        return status;
    }
    int PrepareTarget(const NativeString& folder);
    void CleanLeftovers();
    int Stage(const NativeString& zipPath);
    int StageEntry(ZipReader& reader, const ZipEntry& e);
    int EnsureDirs(const NativeString& root, const std::string& rel, std::set<std::string>* made);
    int Precheck();
    int Commit();
    bool Rollback();
    FsResult RenameRetry(const NativeString& from, const NativeString& to, unsigned* budget);
    void Finish(bool committed);

    const ExtractOptions& m_opt;
    Fs& m_fs;
    ExtractResult m_result;
    NativeString m_target, m_work, m_stage, m_old, m_oldFiles;
    std::vector<NativeString> m_createdAncestors;   // target folders that did not exist before
    bool m_workCreated = false;
    std::unique_ptr<DirLock> m_lock;
    std::vector<ZipEntry> m_entries;
    std::set<std::string> m_stageDirs, m_oldDirs;

    struct Step {
        enum Kind { kMadeDir, kMovedAside, kPlaced } kind;
        std::string rel;
    };
    std::vector<Step> m_steps;
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
            std::size_t sep = p.find_last_of(Literal(m_fs, kSeparators));
            if (sep == NativeString::npos || sep == 0) break;
            p = p.substr(0, sep);
        }
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            if (m_fs.MakeDir(*it) != FsResult::kOk) return Fail(ZPV_EXTRACT_TARGET_UNUSABLE, "cannot create the target folder");
            m_createdAncestors.push_back(*it);
        }
    }
    m_work = m_fs.Join(m_target, kWorkFolderName);
    FsKind wk = m_fs.Kind(m_work);
    if (wk == FsKind::kNone) {
        if (m_fs.MakeDir(m_work) != FsResult::kOk) return Fail(ZPV_EXTRACT_TARGET_UNUSABLE, "cannot create the work folder");
        m_workCreated = true;
        m_fs.Hide(m_work);
    } else if (wk != FsKind::kDir) {
        return Fail(ZPV_EXTRACT_TARGET_UNUSABLE, "work folder name is taken");
    }
    FsResult lr;
    m_lock = m_fs.Lock(m_fs.Join(m_work, kLockName), &lr);
    if (!m_lock) {
        return lr == FsResult::kLocked ? Fail(ZPV_EXTRACT_BUSY, "another extraction into this folder is running")
                                       : Fail(ZPV_EXTRACT_TARGET_UNUSABLE, "cannot lock the work folder");
    }
    return ZPV_EXTRACT_OK;
}

void Unpacker::CleanLeftovers() {
    std::vector<NativeString> names;
    if (!m_fs.List(m_work, &names)) return;
    const NativeString oldP = Literal(m_fs, kOldPrefix), stageP = Literal(m_fs, kStagePrefix);
    for (const NativeString& n : names) {
        NativeString p = m_fs.Child(m_work, n);
        if (n.compare(0, oldP.size(), oldP) == 0 && m_fs.Kind(p) == FsKind::kDir) {
            bool committed = m_fs.Kind(m_fs.Join(p, kCommittedMark)) == FsKind::kFile;
            NativeString files = m_fs.Join(p, kOldFiles);
            SettleOldTree(m_fs, files, m_target, committed);
            m_fs.RemoveDir(files);
            m_fs.RemoveFile(m_fs.Join(p, kCommittedMark));
            m_fs.RemoveDir(p);
        } else if (n.compare(0, stageP.size(), stageP) == 0) {
            RemoveTree(m_fs, p);
        }
    }
}

int Unpacker::EnsureDirs(const NativeString& root, const std::string& rel, std::set<std::string>* made) {
    if (rel.empty() || made->count(rel)) return ZPV_EXTRACT_OK;
    int st = EnsureDirs(root, ParentOf(rel), made);
    if (st) return st;
    FsResult r = m_fs.MakeDir(m_fs.Join(root, rel));
    if (r != FsResult::kOk && !(r == FsResult::kExists && m_fs.Kind(m_fs.Join(root, rel)) == FsKind::kDir))
        return Fail(ZPV_EXTRACT_WRITE_FAILED, "cannot create staging folder " + rel);
    made->insert(rel);
    return ZPV_EXTRACT_OK;
}

int Unpacker::StageEntry(ZipReader& reader, const ZipEntry& e) {
    if (e.isDir) return EnsureDirs(m_stage, e.rel, &m_stageDirs);
    int st = EnsureDirs(m_stage, ParentOf(e.rel), &m_stageDirs);
    if (st) return st;
    FsResult cr;
    std::unique_ptr<OutFile> out = m_fs.CreateNew(m_fs.Join(m_stage, e.rel), &cr);
    if (!out) {
        // Names that differ only in ways the file system ignores end up here.
        return cr == FsResult::kExists ? Fail(ZPV_EXTRACT_DUPLICATE_ENTRY, "two entries for " + e.rel)
                                       : Fail(ZPV_EXTRACT_WRITE_FAILED, "cannot create " + e.rel);
    }
    FileSink sink(out.get());
    st = reader.ReadEntry(e, &sink);
    if (st) return Fail(st, reader.Error());
    if (!out->Finish(e.dosDate, e.dosTime)) return Fail(ZPV_EXTRACT_WRITE_FAILED, "cannot write " + e.rel);
    return ZPV_EXTRACT_OK;
}

int Unpacker::Stage(const NativeString& zipPath) {
    std::unique_ptr<ByteSource> src = m_fs.OpenRead(m_fs.Absolute(zipPath));
    if (!src) return Fail(ZPV_EXTRACT_ARCHIVE_UNREADABLE, "cannot open the package " + m_fs.Display(zipPath));
    ZipReader reader;
    int st = reader.Open(src.get(), m_opt.limits);
    if (st) return Fail(st, reader.Error());
    m_entries = reader.Entries();

    // A free pair of names: old folders of earlier runs may still hold files in use.
    for (unsigned n = 1;; ++n) {
        std::string id = std::to_string(n);
        NativeString s = m_fs.Join(m_work, kStagePrefix + id), o = m_fs.Join(m_work, kOldPrefix + id);
        if (m_fs.Kind(s) != FsKind::kNone || m_fs.Kind(o) != FsKind::kNone) {
            if (n > 1000) return Fail(ZPV_EXTRACT_TARGET_UNUSABLE, "work folder is full of leftovers");
            continue;
        }
        if (m_fs.MakeDir(s) != FsResult::kOk) return Fail(ZPV_EXTRACT_TARGET_UNUSABLE, "cannot create the staging folder");
        m_stage = s;
        if (m_fs.MakeDir(o) != FsResult::kOk || m_fs.MakeDir(m_fs.Join(o, kOldFiles)) != FsResult::kOk)
            return Fail(ZPV_EXTRACT_TARGET_UNUSABLE, "cannot create the old-files folder");
        m_old = o;
        m_oldFiles = m_fs.Join(o, kOldFiles);
        break;
    }
    // Sequential reading in archive order.
    std::vector<const ZipEntry*> order;
    for (const ZipEntry& e : m_entries) order.push_back(&e);
    std::sort(order.begin(), order.end(),
              [](const ZipEntry* a, const ZipEntry* b) { return a->headerOffset < b->headerOffset; });
    for (const ZipEntry* e : order)
        if ((st = StageEntry(reader, *e))) return st;
    return ZPV_EXTRACT_OK;   // the package is closed here, before anything moves
}

// Refuses before touching anything when the target has a file where a folder goes or the reverse.
int Unpacker::Precheck() {
    std::set<std::string> checkedDirs;
    for (const ZipEntry& e : m_entries) {
        if (e.rel.empty()) continue;
        for (std::string d = e.isDir ? e.rel : ParentOf(e.rel); !d.empty(); d = ParentOf(d)) {
            if (!checkedDirs.insert(d).second) break;
            FsKind k = m_fs.Kind(m_fs.Join(m_target, d));
            if (k != FsKind::kNone && k != FsKind::kDir)
                return Fail(ZPV_EXTRACT_TARGET_CONFLICT, "the target has a file where the folder " + d + " goes");
        }
        if (!e.isDir) {
            FsKind k = m_fs.Kind(m_fs.Join(m_target, e.rel));
            if (k != FsKind::kNone && k != FsKind::kFile)
                return Fail(ZPV_EXTRACT_TARGET_CONFLICT, "the target has a folder where the file " + e.rel + " goes");
        }
    }
    return ZPV_EXTRACT_OK;
}

FsResult Unpacker::RenameRetry(const NativeString& from, const NativeString& to, unsigned* budget) {
    unsigned pause = 20;
    for (;;) {
        FsResult r = m_fs.Rename(from, to);
        if (r != FsResult::kLocked || *budget == 0) return r;
        unsigned wait = std::min(pause, *budget);
        m_fs.SleepMs(wait);
        *budget -= wait;
        pause = std::min(pause * 2, 250u);
    }
}

int Unpacker::Commit() {
    int st = Precheck();
    if (st) return st;
    std::set<std::string> dirs;
    for (const ZipEntry& e : m_entries)
        for (std::string d = e.isDir ? e.rel : ParentOf(e.rel); !d.empty(); d = ParentOf(d)) dirs.insert(d);
    // A set orders every folder after its parent.
    for (const std::string& d : dirs) {
        NativeString t = m_fs.Join(m_target, d);
        if (m_fs.Kind(t) == FsKind::kDir) continue;
        if (m_fs.MakeDir(t) != FsResult::kOk) return Fail(ZPV_EXTRACT_COMMIT_FAILED, "cannot create folder " + d);
        m_steps.push_back({Step::kMadeDir, d});
    }
    unsigned budget = m_opt.lockRetryMs;
    for (const ZipEntry& e : m_entries) {
        if (e.isDir) continue;
        NativeString t = m_fs.Join(m_target, e.rel);
        FsKind k = m_fs.Kind(t);
        if (k == FsKind::kFile) {
            if ((st = EnsureDirs(m_oldFiles, ParentOf(e.rel), &m_oldDirs))) return Fail(ZPV_EXTRACT_COMMIT_FAILED, m_result.message);
            FsResult r = RenameRetry(t, m_fs.Join(m_oldFiles, e.rel), &budget);
            if (r == FsResult::kLocked) return Fail(ZPV_EXTRACT_FILE_LOCKED, "file in use: " + e.rel);
            if (r != FsResult::kOk) return Fail(ZPV_EXTRACT_COMMIT_FAILED, "cannot move aside " + e.rel);
            m_steps.push_back({Step::kMovedAside, e.rel});
        } else if (k != FsKind::kNone) {
            return Fail(ZPV_EXTRACT_TARGET_CONFLICT, "the target has a folder where the file " + e.rel + " goes");
        }
        FsResult r = RenameRetry(m_fs.Join(m_stage, e.rel), t, &budget);
        if (r == FsResult::kLocked) return Fail(ZPV_EXTRACT_FILE_LOCKED, "file in use: " + e.rel);
        if (r != FsResult::kOk) return Fail(ZPV_EXTRACT_COMMIT_FAILED, "cannot move into place " + e.rel);
        m_steps.push_back({Step::kPlaced, e.rel});
    }
    return ZPV_EXTRACT_OK;
}

bool Unpacker::Rollback() {
    bool complete = true;
    unsigned budget = m_opt.lockRetryMs;
    for (auto it = m_steps.rbegin(); it != m_steps.rend(); ++it) {
        NativeString t = m_fs.Join(m_target, it->rel);
        switch (it->kind) {
            case Step::kPlaced:
                if (RenameRetry(t, m_fs.Join(m_stage, it->rel), &budget) != FsResult::kOk &&
                    m_fs.RemoveFile(t) != FsResult::kOk)
                    complete = false;
                break;
            case Step::kMovedAside:
                if (RenameRetry(m_fs.Join(m_oldFiles, it->rel), t, &budget) != FsResult::kOk) complete = false;
                break;
            case Step::kMadeDir:
                if (m_fs.RemoveDir(t) != FsResult::kOk) complete = false;
                break;
        }
    }
    m_steps.clear();
    return complete;
}

// Removes the staging and old-files folders, the lock and the work folder, as far as possible.
void Unpacker::Finish(bool committed) {
    if (!m_old.empty()) {
        if (committed) {
            // Files still in use stay behind, marked so that a later run only deletes them.
            FsResult r;
            std::unique_ptr<OutFile> mark = m_fs.CreateNew(m_fs.Join(m_old, kCommittedMark), &r);
            if (mark) mark->Finish(0, 0);
            RemoveTree(m_fs, m_old);
        } else if (m_result.status != ZPV_EXTRACT_ROLLBACK_INCOMPLETE) {
            RemoveTree(m_fs, m_old);   // every old file is back in place: only folders remain
        }
        // After an incomplete rollback the old files stay for the next run to put back.
    }
    if (!m_stage.empty()) RemoveTree(m_fs, m_stage);
    m_lock.reset();
    if (!m_work.empty()) {
        std::vector<NativeString> names;
        if (m_fs.List(m_work, &names) && names.empty()) m_fs.RemoveDir(m_work);
    }
    if (m_result.status != ZPV_EXTRACT_OK) {
        for (auto it = m_createdAncestors.rbegin(); it != m_createdAncestors.rend(); ++it) m_fs.RemoveDir(*it);
    }
}

ExtractResult Unpacker::Run(const NativeString& zipPath, const NativeString& folder) {
    int st = PrepareTarget(folder);
    if (st == ZPV_EXTRACT_OK) {
        CleanLeftovers();
        st = Stage(zipPath);
        if (st == ZPV_EXTRACT_OK) {
            st = Commit();
            if (st != ZPV_EXTRACT_OK && !Rollback()) st = ZPV_EXTRACT_ROLLBACK_INCOMPLETE;
        }
    }
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
