// The staged extraction on the real file system, with failures injected into single operations.
#include <gtest/gtest.h>

#include <functional>

#include "extract/unpack.h"
#include "extract/zip_path.h"
#include "proxy_fs.h"
#include "tree_util.h"
#include "zip_writer.h"

using namespace ztest;
using zpvx::ExtractArchive;
using zpvx::ExtractOptions;
using zpvx::FsResult;

namespace {

// Passes everything to the real file system except what a test chooses to fail.
class FaultyFs : public ProxyFs {
public:
    std::function<FsResult(const std::string& from, const std::string& to)> onRename;
    std::function<bool(const std::string& path)> failRemove;

    FsResult Rename(const NativeString& from, const NativeString& to) override {
        if (onRename) {
            FsResult r = onRename(from, to);
            if (r != FsResult::kOk) return r;
        }
        return ProxyFs::Rename(from, to);
    }
    FsResult RemoveFile(const NativeString& p) override {
        if (failRemove && failRemove(p)) return FsResult::kLocked;
        return ProxyFs::RemoveFile(p);
    }
};

class Unpack : public ::testing::Test {
protected:
    void SetUp() override {
        m_temp = std::make_unique<zpvtest::TempDir>("unpack");
        root = m_temp->Path();
        target = root / "client";
        zip = root / "update.zip";
    }
    void TearDown() override { m_temp.reset(); }

    std::unique_ptr<zpvtest::TempDir> m_temp;

    void Package(const Tree& t, bool corruptLast = false) {
        ZipWriter w;
        std::size_t i = 0;
        for (const auto& [k, v] : t) {
            ZipItem item{v == "<dir>" ? k + "/" : k, v == "<dir>" ? "" : v, static_cast<std::uint16_t>(i % 2 ? 0 : 8)};
            if (corruptLast && ++i == t.size()) item.crc = Crc(item.data) ^ 0x100;
            w.Add(item);
        }
        WriteFile(zip, w.Finish());
    }
    zpvx::ExtractResult Extract(FaultyFs* f = nullptr, unsigned retryMs = 10000) {
        ExtractOptions o;
        o.fs = f;
        o.lockRetryMs = retryMs;
        return ExtractArchive(zip.string(), target.string(), o);
    }

    fs::path root, target, zip;
    const Tree existing = {{"ZPVUpdate.exe", "old updater"}, {"zlib.dll", "old dll"}, {"bin/client.exe", "old client"},
                            {"bin/user.cfg", "settings"},     {"bin", "<dir>"},       {"logs", "<dir>"}};
    const Tree package = {{"ZPVUpdate.exe", "new updater"}, {"zlib.dll", Noise(70000, 9)}, {"bin/client.exe", Text(90000, 1)},
                          {"bin/new/plugin.dll", "plugin"}, {"res/empty", ""},              {"res/skins", "<dir>"}};
};

Tree Merge(Tree a, const Tree& b) {
    for (const auto& [k, v] : b) a[k] = v;
    for (const auto& [k, v] : Tree(a)) {
        for (std::size_t s = k.find('/'); s != std::string::npos; s = k.find('/', s + 1)) a[k.substr(0, s)] = "<dir>";
    }
    return a;
}

}  // namespace

TEST_F(Unpack, FreshAndReplacingExtractionsGiveExactlyThePackage) {
    Package(package);
    auto r = Extract();
    ASSERT_EQ(r.status, ZPV_EXTRACT_OK) << r.message;
    EXPECT_EQ(Diff(Merge({}, package), Snapshot(target)), "");

    // Over an existing client: package files replaced, the user's files kept, no work folder left.
    fs::remove_all(target);
    MakeTree(target, existing);
    r = Extract();
    ASSERT_EQ(r.status, ZPV_EXTRACT_OK) << r.message;
    EXPECT_EQ(Diff(Merge(existing, package), Snapshot(target)), "");
    EXPECT_FALSE(fs::exists(target / zpvx::kWorkFolderName));

    // A missing target folder is created with its parents.
    target = root / "a" / "b" / "client";
    r = Extract();
    ASSERT_EQ(r.status, ZPV_EXTRACT_OK) << r.message;
    EXPECT_EQ(Diff(Merge({}, package), Snapshot(target)), "");
}

TEST_F(Unpack, BadPackagesLeaveTheTargetAsItWas) {
    MakeTree(target, existing);
    const Tree before = Snapshot(target);
    Package(package, true);   // last entry's CRC is wrong: found after everything else was staged
    EXPECT_EQ(Extract().status, ZPV_EXTRACT_CRC_MISMATCH);
    EXPECT_EQ(Diff(before, Snapshot(target)), "");

    WriteFile(zip, "not a zip at all");
    EXPECT_EQ(Extract().status, ZPV_EXTRACT_NOT_AN_ARCHIVE);
    EXPECT_EQ(Diff(before, Snapshot(target)), "");

    fs::remove(zip);
    EXPECT_EQ(Extract().status, ZPV_EXTRACT_ARCHIVE_UNREADABLE);
    EXPECT_EQ(Diff(before, Snapshot(target)), "");

    ZipWriter w;
    w.Add(ZipItem{"fine.txt", "fine"});
    w.Add(ZipItem{"../escaped.txt", "evil"});
    WriteFile(zip, w.Finish());
    EXPECT_EQ(Extract().status, ZPV_EXTRACT_UNSAFE_PATH);
    EXPECT_EQ(Diff(before, Snapshot(target)), "");
    EXPECT_FALSE(fs::exists(root / "escaped.txt"));

    // A missing target folder that was created for a failing package is removed again.
    target = root / "new" / "client";
    WriteFile(zip, "junk");
    EXPECT_NE(Extract().status, ZPV_EXTRACT_OK);
    EXPECT_FALSE(fs::exists(root / "new"));
}

TEST_F(Unpack, FolderWhereAFileGoesIsAConflict) {
    Tree t = existing;
    t.erase("zlib.dll");
    t["zlib.dll/inner.txt"] = "a folder named like a file of the package";
    MakeTree(target, t);
    const Tree before = Snapshot(target);
    Package(package);
    EXPECT_EQ(Extract().status, ZPV_EXTRACT_TARGET_CONFLICT);
    EXPECT_EQ(Diff(before, Snapshot(target)), "");

    fs::remove_all(target);
    t = existing;
    t["res"] = "a file named like a folder of the package";
    MakeTree(target, t);
    const Tree before2 = Snapshot(target);
    EXPECT_EQ(Extract().status, ZPV_EXTRACT_TARGET_CONFLICT);
    EXPECT_EQ(Diff(before2, Snapshot(target)), "");
}

TEST_F(Unpack, AnyFailedMoveRollsEverythingBack) {
    Package(package);
    // Fail the n-th rename of the commit, for every n, and check the rollback each time.
    for (int failAt = 1;; ++failAt) {
        fs::remove_all(target);
        MakeTree(target, existing);
        const Tree before = Snapshot(target);
        FaultyFs f;
        int count = 0;
        f.onRename = [&](const std::string&, const std::string&) {
            return ++count == failAt ? FsResult::kFailed : FsResult::kOk;
        };
        auto r = Extract(&f);
        if (r.status == ZPV_EXTRACT_OK) {
            EXPECT_GT(failAt, 8);   // 3 replaced files (two renames each) + 3 new ones
            break;
        }
        EXPECT_EQ(r.status, ZPV_EXTRACT_COMMIT_FAILED) << failAt;
        EXPECT_EQ(Diff(before, Snapshot(target)), "") << "failing rename " << failAt;
    }
}

TEST_F(Unpack, LockedFilesAreRetriedForABoundedTime) {
    MakeTree(target, existing);
    Package(package);
    const std::string locked = (target / "ZPVUpdate.exe").string();

    // Held a little while: the extraction waits and succeeds.
    FaultyFs f;
    int attempts = 0;
    f.onRename = [&](const std::string& from, const std::string&) {
        return from == locked && ++attempts <= 5 ? FsResult::kLocked : FsResult::kOk;
    };
    auto r = Extract(&f, 10000);
    ASSERT_EQ(r.status, ZPV_EXTRACT_OK) << r.message;
    EXPECT_EQ(attempts, 6);
    EXPECT_GT(f.m_slept, 0u);
    EXPECT_EQ(Diff(Merge(existing, package), Snapshot(target)), "");

    // Held for good: after the retry time everything is rolled back.
    fs::remove_all(target);
    MakeTree(target, existing);
    const Tree before = Snapshot(target);
    FaultyFs g;
    const std::string lockedDll = (target / "zlib.dll").string();
    g.onRename = [&](const std::string& from, const std::string&) {
        return from == lockedDll ? FsResult::kLocked : FsResult::kOk;
    };
    r = Extract(&g, 3000);
    EXPECT_EQ(r.status, ZPV_EXTRACT_FILE_LOCKED);
    EXPECT_EQ(g.m_slept, 3000u);
    EXPECT_EQ(Diff(before, Snapshot(target)), "");
}

TEST_F(Unpack, OldFilesInUseAreDeletedByALaterRun) {
    MakeTree(target, existing);
    Package(package);
    FaultyFs f;
    // Old programs are still running: their moved-aside copies cannot be deleted yet.
    f.failRemove = [&](const std::string& p) { return p.find("/old/") != std::string::npos; };
    auto r = Extract(&f);
    ASSERT_EQ(r.status, ZPV_EXTRACT_OK) << r.message;
    Tree now = Snapshot(target);
    EXPECT_EQ(now["ZPVUpdate.exe"], "new updater");
    const fs::path work = target / zpvx::kWorkFolderName;
    ASSERT_TRUE(fs::exists(work));
    bool leftover = false;
    for (auto& e : fs::recursive_directory_iterator(work))
        if (e.is_regular_file() && ReadFile(e.path()) == "old updater") leftover = true;
    EXPECT_TRUE(leftover);

    // The next run (whatever its outcome) deletes it and keeps the new file.
    fs::remove(zip);
    EXPECT_EQ(Extract().status, ZPV_EXTRACT_ARCHIVE_UNREADABLE);
    EXPECT_FALSE(fs::exists(work));
    EXPECT_EQ(Diff(Merge(existing, package), Snapshot(target)), "");
}

TEST_F(Unpack, AnInterruptedRollbackIsCompletedByTheNextRun) {
    MakeTree(target, existing);
    const Tree before = Snapshot(target);
    Package(package);
    FaultyFs f;
    const std::string dll = (target / "zlib.dll").string();
    const std::string client = (target / "bin/client.exe").string();
    bool rollingBack = false;
    f.onRename = [&](const std::string& from, const std::string& to) {
        if (to == dll && from.find("/stage/") != std::string::npos) {   // the last file fails to move in ...
            rollingBack = true;
            return FsResult::kFailed;
        }
        // ... and the old client cannot be put back during the rollback.
        return rollingBack && to == client ? FsResult::kFailed : FsResult::kOk;
    };
    auto r = Extract(&f, 0);
    EXPECT_EQ(r.status, ZPV_EXTRACT_ROLLBACK_INCOMPLETE);
    EXPECT_FALSE(fs::exists(target / "bin/client.exe"));

    fs::remove(zip);
    EXPECT_EQ(Extract().status, ZPV_EXTRACT_ARCHIVE_UNREADABLE);
    EXPECT_EQ(Diff(before, Snapshot(target)), "");
}

TEST_F(Unpack, ASecondExtractionIntoTheSameFolderIsRefused) {
    MakeTree(target, existing);
    Package(package);
    fs::create_directories(target / zpvx::kWorkFolderName);
    FsResult lr;
    auto held = zpvx::NewRealFs()->Lock((target / zpvx::kWorkFolderName / "lock").string(), &lr);
    ASSERT_TRUE(held);
    EXPECT_EQ(Extract().status, ZPV_EXTRACT_BUSY);
    held.reset();
    EXPECT_EQ(Extract().status, ZPV_EXTRACT_OK);
    EXPECT_FALSE(fs::exists(target / zpvx::kWorkFolderName));
}

TEST_F(Unpack, AFullDiskOrAReadOnlyTargetHasItsOwnStatusAndChangesNothing) {
    MakeTree(target, existing);
    const Tree before = Snapshot(target);
    Package(package);
    struct Fault {
        const char* where;
        FsResult result;
        int status;
    };
    // Staged data, the journal, a folder made in the target during the commit, the work folder.
    for (const Fault& f : {Fault{"data", FsResult::kNoSpace, ZPV_EXTRACT_DISK_FULL},
                           Fault{"journal", FsResult::kNoSpace, ZPV_EXTRACT_DISK_FULL},
                           Fault{"commit", FsResult::kNoSpace, ZPV_EXTRACT_DISK_FULL},
                           Fault{"work", FsResult::kReadOnly, ZPV_EXTRACT_READ_ONLY},
                           Fault{"commit", FsResult::kReadOnly, ZPV_EXTRACT_READ_ONLY}}) {
        class Failing : public FaultyFs {
        public:
            Failing(const Fault& f) : m_fault(f) {}
            FsResult WriteData(zpvx::OutFile& file, const void* d, std::size_t n) override {
                if (std::string(m_fault.where) == "data" && (m_written += n) > 100000) return m_fault.result;
                return file.Write(d, n);
            }
            std::unique_ptr<zpvx::OutFile> CreateNew(const NativeString& p, FsResult* r) override {
                if (std::string(m_fault.where) == "journal" && p.size() > 8 && p.compare(p.size() - 8, 8, "/journal") == 0)
                    return *r = m_fault.result, nullptr;
                return FaultyFs::CreateNew(p, r);
            }
            FsResult MakeDir(const NativeString& p) override {
                const bool work = p.size() > 13 && p.compare(p.size() - 13, 13, "/.zpv-extract") == 0;
                const bool inTarget = p.find("/.zpv-extract") == std::string::npos;
                if ((std::string(m_fault.where) == "work" && work) || (std::string(m_fault.where) == "commit" && inTarget))
                    return m_fault.result;
                return FaultyFs::MakeDir(p);
            }
        private:
            Fault m_fault;
            std::size_t m_written = 0;
        } faulty(f);
        auto r = Extract(&faulty);
        EXPECT_EQ(r.status, f.status) << f.where << ": " << r.message;
        EXPECT_EQ(Diff(before, Snapshot(target)), "") << f.where;
        EXPECT_FALSE(fs::exists(target / zpvx::kWorkFolderName)) << f.where;
    }
}
