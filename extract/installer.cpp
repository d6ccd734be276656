#include "extract/installer.h"

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
// install completed: then later runs only delete there.
const char kOldFiles[] = "files";
const char kCommittedMark[] = "committed";

class FileSink : public EntrySink {
public:
    explicit FileSink(OutFile* f) : f_(f) {}
    bool write(const unsigned char* data, std::size_t n) override { return f_->write(data, n); }
private:
    OutFile* f_;
};

NativeString Literal(const char* text) {
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
    FsKind k = fs.kind(path);
    if (k == FsKind::kNone) return true;
    if (k == FsKind::kDir) {
        std::vector<NativeString> names;
        fs.list(path, &names);
        for (const NativeString& n : names) RemoveTree(fs, fs.child(path, n));
        return fs.removeDir(path) == FsResult::kOk;
    }
    return fs.removeFile(path) == FsResult::kOk;
}

// An old-files folder left by an earlier run. If that install did not complete (the process
// died, or its rollback was cut short), an old file whose place in the target is empty is put
// back; everything else there is an outdated copy and is deleted where possible.
void SettleOldTree(Fs& fs, const NativeString& oldDir, const NativeString& targetDir, bool committed) {
    std::vector<NativeString> names;
    if (!fs.list(oldDir, &names)) return;
    for (const NativeString& n : names) {
        NativeString from = fs.child(oldDir, n), to = fs.child(targetDir, n);
        if (fs.kind(from) == FsKind::kDir) {
            SettleOldTree(fs, from, to, committed);
            fs.removeDir(from);
            continue;
        }
        if (!committed && fs.kind(to) == FsKind::kNone && fs.kind(targetDir) == FsKind::kDir &&
            fs.rename(from, to) == FsResult::kOk)
            continue;
        fs.removeFile(from);
    }
}

class Installer {
public:
    Installer(const ExtractOptions& o) : opt_(o), fs_(o.fs ? *o.fs : RealFs()) {}

    ExtractResult run(const NativeString& zipPath, const NativeString& folder);

private:
    int fail(int status, const std::string& why) {
        if (result_.message.empty()) result_.message = why;
        return status;
    }
    int prepareTarget(const NativeString& folder);
    void cleanLeftovers();
    int stage(const NativeString& zipPath);
    int stageEntry(ZipReader& reader, const ZipEntry& e);
    int ensureDirs(const NativeString& root, const std::string& rel, std::set<std::string>* made);
    int precheck();
    int commit();
    bool rollback();
    FsResult renameRetry(const NativeString& from, const NativeString& to, unsigned* budget);
    void finish(bool committed);

    const ExtractOptions& opt_;
    Fs& fs_;
    ExtractResult result_;
    NativeString target_, work_, stage_, old_, oldFiles_;
    std::vector<NativeString> createdAncestors_;   // target folders that did not exist before
    bool workCreated_ = false;
    std::unique_ptr<DirLock> lock_;
    std::vector<ZipEntry> entries_;
    std::set<std::string> stageDirs_, oldDirs_;

    struct Step {
        enum Kind { kMadeDir, kMovedAside, kPlaced } kind;
        std::string rel;
    };
    std::vector<Step> steps_;
};

int Installer::prepareTarget(const NativeString& folder) {
    target_ = fs_.absolute(folder);
    FsKind k = fs_.kind(target_);
    if (k != FsKind::kDir) {
        if (k != FsKind::kNone) return fail(ZPV_EXTRACT_TARGET_UNUSABLE, "target is not a folder");
        // Create the missing folders from the outermost one, remembering them for a rollback.
        std::vector<NativeString> chain;
        NativeString p = target_;
        while (fs_.kind(p) == FsKind::kNone) {
            chain.push_back(p);
            std::size_t sep = p.find_last_of(Literal(kSeparators));
            if (sep == NativeString::npos || sep == 0) break;
            p = p.substr(0, sep);
        }
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            if (fs_.makeDir(*it) != FsResult::kOk) return fail(ZPV_EXTRACT_TARGET_UNUSABLE, "cannot create the target folder");
            createdAncestors_.push_back(*it);
        }
    }
    work_ = fs_.join(target_, kWorkFolderName);
    FsKind wk = fs_.kind(work_);
    if (wk == FsKind::kNone) {
        if (fs_.makeDir(work_) != FsResult::kOk) return fail(ZPV_EXTRACT_TARGET_UNUSABLE, "cannot create the work folder");
        workCreated_ = true;
        fs_.hide(work_);
    } else if (wk != FsKind::kDir) {
        return fail(ZPV_EXTRACT_TARGET_UNUSABLE, "work folder name is taken");
    }
    FsResult lr;
    lock_ = fs_.lock(fs_.join(work_, kLockName), &lr);
    if (!lock_) {
        return lr == FsResult::kLocked ? fail(ZPV_EXTRACT_BUSY, "another extraction into this folder is running")
                                       : fail(ZPV_EXTRACT_TARGET_UNUSABLE, "cannot lock the work folder");
    }
    return ZPV_EXTRACT_OK;
}

void Installer::cleanLeftovers() {
    std::vector<NativeString> names;
    if (!fs_.list(work_, &names)) return;
    const NativeString oldP = Literal(kOldPrefix), stageP = Literal(kStagePrefix);
    for (const NativeString& n : names) {
        NativeString p = fs_.child(work_, n);
        if (n.compare(0, oldP.size(), oldP) == 0 && fs_.kind(p) == FsKind::kDir) {
            bool committed = fs_.kind(fs_.join(p, kCommittedMark)) == FsKind::kFile;
            NativeString files = fs_.join(p, kOldFiles);
            SettleOldTree(fs_, files, target_, committed);
            fs_.removeDir(files);
            fs_.removeFile(fs_.join(p, kCommittedMark));
            fs_.removeDir(p);
        } else if (n.compare(0, stageP.size(), stageP) == 0) {
            RemoveTree(fs_, p);
        }
    }
}

int Installer::ensureDirs(const NativeString& root, const std::string& rel, std::set<std::string>* made) {
    if (rel.empty() || made->count(rel)) return ZPV_EXTRACT_OK;
    int st = ensureDirs(root, ParentOf(rel), made);
    if (st) return st;
    FsResult r = fs_.makeDir(fs_.join(root, rel));
    if (r != FsResult::kOk && !(r == FsResult::kExists && fs_.kind(fs_.join(root, rel)) == FsKind::kDir))
        return fail(ZPV_EXTRACT_WRITE_FAILED, "cannot create staging folder " + rel);
    made->insert(rel);
    return ZPV_EXTRACT_OK;
}

int Installer::stageEntry(ZipReader& reader, const ZipEntry& e) {
    if (e.isDir) return ensureDirs(stage_, e.rel, &stageDirs_);
    int st = ensureDirs(stage_, ParentOf(e.rel), &stageDirs_);
    if (st) return st;
    FsResult cr;
    std::unique_ptr<OutFile> out = fs_.createNew(fs_.join(stage_, e.rel), &cr);
    if (!out) {
        // Names that differ only in ways the file system ignores end up here.
        return cr == FsResult::kExists ? fail(ZPV_EXTRACT_DUPLICATE_ENTRY, "two entries for " + e.rel)
                                       : fail(ZPV_EXTRACT_WRITE_FAILED, "cannot create " + e.rel);
    }
    FileSink sink(out.get());
    st = reader.readEntry(e, &sink);
    if (st) return fail(st, reader.error());
    if (!out->finish(e.dosDate, e.dosTime)) return fail(ZPV_EXTRACT_WRITE_FAILED, "cannot write " + e.rel);
    return ZPV_EXTRACT_OK;
}

int Installer::stage(const NativeString& zipPath) {
    std::unique_ptr<ByteSource> src = fs_.openRead(fs_.absolute(zipPath));
    if (!src) return fail(ZPV_EXTRACT_ARCHIVE_UNREADABLE, "cannot open the package " + fs_.display(zipPath));
    ZipReader reader;
    int st = reader.open(src.get(), opt_.limits);
    if (st) return fail(st, reader.error());
    entries_ = reader.entries();

    // A free pair of names: old folders of earlier runs may still hold files in use.
    for (unsigned n = 1;; ++n) {
        std::string id = std::to_string(n);
        NativeString s = fs_.join(work_, kStagePrefix + id), o = fs_.join(work_, kOldPrefix + id);
        if (fs_.kind(s) != FsKind::kNone || fs_.kind(o) != FsKind::kNone) {
            if (n > 1000) return fail(ZPV_EXTRACT_TARGET_UNUSABLE, "work folder is full of leftovers");
            continue;
        }
        if (fs_.makeDir(s) != FsResult::kOk) return fail(ZPV_EXTRACT_TARGET_UNUSABLE, "cannot create the staging folder");
        stage_ = s;
        if (fs_.makeDir(o) != FsResult::kOk || fs_.makeDir(fs_.join(o, kOldFiles)) != FsResult::kOk)
            return fail(ZPV_EXTRACT_TARGET_UNUSABLE, "cannot create the old-files folder");
        old_ = o;
        oldFiles_ = fs_.join(o, kOldFiles);
        break;
    }
    // Sequential reading in archive order.
    std::vector<const ZipEntry*> order;
    for (const ZipEntry& e : entries_) order.push_back(&e);
    std::sort(order.begin(), order.end(),
              [](const ZipEntry* a, const ZipEntry* b) { return a->headerOffset < b->headerOffset; });
    for (const ZipEntry* e : order)
        if ((st = stageEntry(reader, *e))) return st;
    return ZPV_EXTRACT_OK;   // the package is closed here, before anything moves
}

// Refuses before touching anything when the target has a file where a folder goes or the reverse.
int Installer::precheck() {
    std::set<std::string> checkedDirs;
    for (const ZipEntry& e : entries_) {
        if (e.rel.empty()) continue;
        for (std::string d = e.isDir ? e.rel : ParentOf(e.rel); !d.empty(); d = ParentOf(d)) {
            if (!checkedDirs.insert(d).second) break;
            FsKind k = fs_.kind(fs_.join(target_, d));
            if (k != FsKind::kNone && k != FsKind::kDir)
                return fail(ZPV_EXTRACT_TARGET_CONFLICT, "the target has a file where the folder " + d + " goes");
        }
        if (!e.isDir) {
            FsKind k = fs_.kind(fs_.join(target_, e.rel));
            if (k != FsKind::kNone && k != FsKind::kFile)
                return fail(ZPV_EXTRACT_TARGET_CONFLICT, "the target has a folder where the file " + e.rel + " goes");
        }
    }
    return ZPV_EXTRACT_OK;
}

FsResult Installer::renameRetry(const NativeString& from, const NativeString& to, unsigned* budget) {
    unsigned pause = 20;
    for (;;) {
        FsResult r = fs_.rename(from, to);
        if (r != FsResult::kLocked || *budget == 0) return r;
        unsigned wait = std::min(pause, *budget);
        fs_.sleepMs(wait);
        *budget -= wait;
        pause = std::min(pause * 2, 250u);
    }
}

int Installer::commit() {
    int st = precheck();
    if (st) return st;
    std::set<std::string> dirs;
    for (const ZipEntry& e : entries_)
        for (std::string d = e.isDir ? e.rel : ParentOf(e.rel); !d.empty(); d = ParentOf(d)) dirs.insert(d);
    // A set orders every folder after its parent.
    for (const std::string& d : dirs) {
        NativeString t = fs_.join(target_, d);
        if (fs_.kind(t) == FsKind::kDir) continue;
        if (fs_.makeDir(t) != FsResult::kOk) return fail(ZPV_EXTRACT_COMMIT_FAILED, "cannot create folder " + d);
        steps_.push_back({Step::kMadeDir, d});
    }
    unsigned budget = opt_.lockRetryMs;
    for (const ZipEntry& e : entries_) {
        if (e.isDir) continue;
        NativeString t = fs_.join(target_, e.rel);
        FsKind k = fs_.kind(t);
        if (k == FsKind::kFile) {
            if ((st = ensureDirs(oldFiles_, ParentOf(e.rel), &oldDirs_))) return fail(ZPV_EXTRACT_COMMIT_FAILED, result_.message);
            FsResult r = renameRetry(t, fs_.join(oldFiles_, e.rel), &budget);
            if (r == FsResult::kLocked) return fail(ZPV_EXTRACT_FILE_LOCKED, "file in use: " + e.rel);
            if (r != FsResult::kOk) return fail(ZPV_EXTRACT_COMMIT_FAILED, "cannot move aside " + e.rel);
            steps_.push_back({Step::kMovedAside, e.rel});
        } else if (k != FsKind::kNone) {
            return fail(ZPV_EXTRACT_TARGET_CONFLICT, "the target has a folder where the file " + e.rel + " goes");
        }
        FsResult r = renameRetry(fs_.join(stage_, e.rel), t, &budget);
        if (r == FsResult::kLocked) return fail(ZPV_EXTRACT_FILE_LOCKED, "file in use: " + e.rel);
        if (r != FsResult::kOk) return fail(ZPV_EXTRACT_COMMIT_FAILED, "cannot move into place " + e.rel);
        steps_.push_back({Step::kPlaced, e.rel});
    }
    return ZPV_EXTRACT_OK;
}

bool Installer::rollback() {
    bool complete = true;
    unsigned budget = opt_.lockRetryMs;
    for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) {
        NativeString t = fs_.join(target_, it->rel);
        switch (it->kind) {
            case Step::kPlaced:
                if (renameRetry(t, fs_.join(stage_, it->rel), &budget) != FsResult::kOk &&
                    fs_.removeFile(t) != FsResult::kOk)
                    complete = false;
                break;
            case Step::kMovedAside:
                if (renameRetry(fs_.join(oldFiles_, it->rel), t, &budget) != FsResult::kOk) complete = false;
                break;
            case Step::kMadeDir:
                if (fs_.removeDir(t) != FsResult::kOk) complete = false;
                break;
        }
    }
    steps_.clear();
    return complete;
}

// Removes the staging and old-files folders, the lock and the work folder, as far as possible.
void Installer::finish(bool committed) {
    if (!old_.empty()) {
        if (committed) {
            // Files still in use stay behind, marked so that a later run only deletes them.
            FsResult r;
            std::unique_ptr<OutFile> mark = fs_.createNew(fs_.join(old_, kCommittedMark), &r);
            if (mark) mark->finish(0, 0);
            RemoveTree(fs_, old_);
        } else if (result_.status != ZPV_EXTRACT_ROLLBACK_INCOMPLETE) {
            RemoveTree(fs_, old_);   // every old file is back in place: only folders remain
        }
        // After an incomplete rollback the old files stay for the next run to put back.
    }
    if (!stage_.empty()) RemoveTree(fs_, stage_);
    lock_.reset();
    if (!work_.empty()) {
        std::vector<NativeString> names;
        if (fs_.list(work_, &names) && names.empty()) fs_.removeDir(work_);
    }
    if (result_.status != ZPV_EXTRACT_OK) {
        for (auto it = createdAncestors_.rbegin(); it != createdAncestors_.rend(); ++it) fs_.removeDir(*it);
    }
}

ExtractResult Installer::run(const NativeString& zipPath, const NativeString& folder) {
    int st = prepareTarget(folder);
    if (st == ZPV_EXTRACT_OK) {
        cleanLeftovers();
        st = stage(zipPath);
        if (st == ZPV_EXTRACT_OK) {
            st = commit();
            if (st != ZPV_EXTRACT_OK && !rollback()) st = ZPV_EXTRACT_ROLLBACK_INCOMPLETE;
        }
    }
    result_.status = st;
    finish(st == ZPV_EXTRACT_OK);
    if (result_.status == ZPV_EXTRACT_OK) result_.message.clear();
    return result_;
}

}  // namespace

ExtractResult ExtractArchive(const NativeString& zipPath, const NativeString& folder, const ExtractOptions& options) {
    Installer installer(options);
    return installer.run(zipPath, folder);
}

}  // namespace zpvx
