// The staged extraction killed at every file-system operation, deep-path archives measured in a
// child process, and old files of a finished extraction that outlive it.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "extract/journal.h"
#include "extract/unpack.h"
#include "extract/zip_path.h"
#include "proxy_fs.h"
#include "tree_util.h"
#include "zip_writer.h"

using namespace ztest;
using zpvx::FsResult;
using zpvx::NativeString;

namespace {

// Counts the operations that change something on disk and ends the process at the chosen one.
class CrashFs : public ProxyFs {
public:
    explicit CrashFs(long crashAt) : m_crashAt(crashAt) {}
    long Count() const { return m_count; }
    void OnChange() override {
        if (++m_count == m_crashAt) _exit(77);
    }

private:
    long m_crashAt;
    long m_count = 0;
};

class Crash : public ::testing::Test {
protected:
    void SetUp() override {
        m_temp = std::make_unique<zpvtest::TempDir>("crash");
        m_root = m_temp->Path();
        m_target = m_root / "client";
    }
    void TearDown() override { m_temp.reset(); }

    std::unique_ptr<zpvtest::TempDir> m_temp;

    fs::path WritePackage(const std::string& name, const Tree& t) {
        ZipWriter w;
        for (const auto& [k, v] : t) w.Add(ZipItem{v == "<dir>" ? k + "/" : k, v == "<dir>" ? "" : v});
        fs::path p = m_root / name;
        WriteFile(p, w.Finish());
        return p;
    }
    int Extract(const fs::path& zip, zpvx::Fs* f = nullptr) {
        zpvx::ExtractOptions o;
        o.fs = f;
        o.lockRetryMs = 0;
        return zpvx::ExtractArchive(zip.string(), m_target.string(), o).status;
    }
    // Runs an extraction in a child process that ends itself at operation crashAt (0: never);
    // returns the child's exit code.
    int ExtractInChild(const fs::path& zip, long crashAt, long* ops = nullptr) {
        int fds[2];
        if (pipe(fds) != 0) return -1;
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            CrashFs f(crashAt);
            int st = Extract(zip, &f);
            long n = f.Count();
            if (write(fds[1], &n, sizeof n) != sizeof n) _exit(98);
            _exit(st);
        }
        close(fds[1]);
        long n = 0;
        if (read(fds[0], &n, sizeof n) == sizeof n && ops) *ops = n;
        close(fds[0]);
        int ws = 0;
        waitpid(pid, &ws, 0);
        return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
    }

    fs::path m_root, m_target;
};

Tree WithFolders(Tree a) {
    for (const auto& [k, v] : Tree(a))
        for (std::size_t s = k.find('/'); s != std::string::npos; s = k.find('/', s + 1)) a[k.substr(0, s)] = "<dir>";
    return a;
}
Tree Merge(Tree a, const Tree& b) {
    for (const auto& [k, v] : b) a[k] = v;
    return WithFolders(a);
}

}  // namespace

TEST_F(Crash, KilledAtAnyOperationTheNextRunLeavesTheOldOrTheNewTree) {
    // The updater's folder sits two levels below the target, as on the client.
    const Tree old = WithFolders({{"Veltaro/Updater/ZPVUpdate.exe", "old updater"}, {"Veltaro/Updater/zlib.dll", "old dll"},
                                  {"client.exe", "old client"}, {"bin/a.dll", "old a"}, {"bin/user.cfg", "settings"},
                                  {"logs/today.log", "log"}});
    const Tree package = {{"Veltaro/Updater/ZPVUpdate.exe", "new updater"}, {"Veltaro/Updater/zlib.dll", Noise(3000, 1)},
                          {"client.exe", Text(5000, 2)}, {"bin/a.dll", "new a"}, {"bin/new/b.dll", "new b"},
                          {"res/skin.xml", "skin"}, {"res/empty", "<dir>"}};
    const Tree other = {{"client.exe", "other client"}, {"extra/readme.txt", "other"}};
    const fs::path zip = WritePackage("update.zip", package), otherZip = WritePackage("other.zip", other);
    const Tree newTree = Merge(old, package);

    MakeTree(m_target, old);
    long total = 0;
    ASSERT_EQ(ExtractInChild(zip, 0, &total), 0);
    ASSERT_EQ(Diff(newTree, Snapshot(m_target)), "");
    ASSERT_GT(total, 20);

    int covered = 0, updaterMissing = 0;
    for (long k = 1; k <= total; ++k) {
        for (int variant = 0; variant < 2; ++variant) {
            fs::remove_all(m_target);
            MakeTree(m_target, old);
            ASSERT_EQ(ExtractInChild(zip, k), 77) << "operation " << k;
            const Tree after = Snapshot(m_target);
            if (variant == 0) {
                // Right after the crash: the updater's own files are swapped last, so a new
                // updater means a complete client, and only the instant between moving the old
                // program aside and the new one in leaves none.
                auto exe = after.find("Veltaro/Updater/ZPVUpdate.exe");
                if (exe == after.end()) {
                    ++updaterMissing;
                } else if (exe->second == "new updater") {
                    for (const auto& [path, data] : package)
                        EXPECT_EQ(after.count(path) ? after.at(path) : "", data) << "operation " << k << ": " << path;
                }
                // The same package again: it completes.
                EXPECT_EQ(Extract(zip), 0) << "operation " << k;
                EXPECT_EQ(Diff(newTree, Snapshot(m_target)), "") << "operation " << k;
            } else {
                // An unrelated package: the interrupted one is finished or undone first.
                EXPECT_EQ(Extract(otherZip), 0) << "operation " << k;
                const Tree now = Snapshot(m_target);
                EXPECT_TRUE(Diff(Merge(old, other), now).empty() || Diff(Merge(newTree, other), now).empty())
                    << "operation " << k << ": against old: " << Diff(Merge(old, other), now)
                    << " against new: " << Diff(Merge(newTree, other), now);
            }
            EXPECT_FALSE(fs::exists(m_target / zpvx::kWorkFolderName)) << "operation " << k;
        }
        ++covered;
    }
    EXPECT_EQ(updaterMissing, 1);
    std::printf("crash points covered: %d (each followed by the same and by an unrelated package); "
                "updater program absent right after %d of them\n", covered, updaterMissing);
}

TEST_F(Crash, OldFilesOfAFinishedExtractionAreNeverPutBack) {
    // A program of the client is running: its old copy cannot be deleted after the commit.
    class HeldFs : public CrashFs {
    public:
        HeldFs() : CrashFs(0) {}
        FsResult RemoveFile(const NativeString& p) override {
            if (p.size() >= 12 && p.compare(p.size() - 12, 12, "/running.exe") == 0 &&
                p.find(zpvx::kWorkFolderName) != std::string::npos)
                return FsResult::kLocked;
            return CrashFs::RemoveFile(p);
        }
    } held;
    MakeTree(m_target, {{"running.exe", "old program"}, {"a.txt", "a"}});
    ASSERT_EQ(Extract(WritePackage("one.zip", {{"running.exe", "new program"}}), &held), 0);
    // The client's own uninstaller later removes the program; an unrelated update follows.
    fs::remove(m_target / "running.exe");
    ASSERT_EQ(Extract(WritePackage("two.zip", {{"b.txt", "b"}})), 0);
    EXPECT_EQ(Diff({{"a.txt", "a"}, {"b.txt", "b"}}, Snapshot(m_target)), "");
}

// Entries ~4,080 one-letter folders deep, each under its own first folder (refused), and 150
// entries at the deepest allowed level (extracted): memory must not grow with depth times
// entries. Measured as the peak resident size of a child process.
TEST_F(Crash, DeepPathArchivesStayWithinBoundedMemory) {
    struct Case {
        int count;
        std::size_t nameBytes;
        bool extracted;
    };
    for (const Case& c : {Case{50, 8150, false}, Case{150, 8150, false}, Case{150, 250, true}}) {
        ZipWriter w;
        for (int i = 0; i < c.count; ++i) {
            std::string name = std::string(1, static_cast<char>('a' + i % 26)) + std::to_string(i / 26) + "/";
            while (name.size() < c.nameBytes) name += "a/";
            w.Add(ZipItem{name + "f.txt", "deep"});
        }
        const fs::path zip = m_root / "deep.zip";
        WriteFile(zip, w.Finish());
        fs::remove_all(m_target);
        MakeTree(m_target, {{"keep.txt", "keep"}});
        pid_t pid = fork();
        if (pid == 0) _exit(Extract(zip));
        int ws = 0;
        struct rusage ru {};
        ASSERT_EQ(wait4(pid, &ws, 0, &ru), pid);
        ASSERT_TRUE(WIFEXITED(ws)) << c.count << " entries: the child crashed";
        std::printf("deep archive, %d entries, names of %zu bytes: status %d, peak RSS %ld KiB\n", c.count,
                    c.nameBytes, WEXITSTATUS(ws), ru.ru_maxrss);
#if !defined(__SANITIZE_ADDRESS__)
        EXPECT_LE(ru.ru_maxrss, 64 * 1024) << c.count << " entries";
#endif
        if (c.extracted) {
            EXPECT_EQ(WEXITSTATUS(ws), 0);
            EXPECT_EQ(Snapshot(m_target).size(), 1u + c.count * (c.nameBytes / 2 + 1));
        } else {
            EXPECT_EQ(WEXITSTATUS(ws), ZPV_EXTRACT_UNSAFE_PATH);
            EXPECT_EQ(Diff({{"keep.txt", "keep"}}, Snapshot(m_target)), "");
        }
    }
}

TEST(Journal, OnlyAWholeJournalIsReadAndNewerVersionsAreLeftAlone) {
    using zpvx::JournalStep;
    const std::vector<JournalStep> steps = {{JournalStep::kMakeDir, 0, "res/new", {}},
                                            {JournalStep::kPlace, 0, "res/new/\xE4\xB8\xAD.txt", {}},
                                            {JournalStep::kReplace, 7, "bin/a b.dll", "BIN/A B.dll"}};
    const std::string text = zpvx::JournalText(steps);
    char state = 0;
    std::vector<JournalStep> got;
    ASSERT_EQ(zpvx::ParseJournal(text, &state, &got), zpvx::JournalParse::kOk);
    EXPECT_EQ(state, zpvx::kJournalPlanned);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2].slot, 7u);
    EXPECT_EQ(got[2].oldRel, "BIN/A B.dll");
    EXPECT_EQ(got[1].rel, steps[1].rel);
    // The state byte is the one byte changed in place.
    std::string committed = text;
    committed[zpvx::JournalStateOffset(text)] = zpvx::kJournalCommitted;
    ASSERT_EQ(zpvx::ParseJournal(committed, &state, &got), zpvx::JournalParse::kOk);
    EXPECT_EQ(state, zpvx::kJournalCommitted);

    // Cut off anywhere while it was written, or damaged: not a plan.
    for (std::size_t n = 0; n < text.size(); ++n)
        ASSERT_EQ(zpvx::ParseJournal(text.substr(0, n), &state, &got), zpvx::JournalParse::kIncomplete) << n;
    std::string damaged = text;
    damaged[text.find("bin/a")] = 'x';
    EXPECT_EQ(zpvx::ParseJournal(damaged, &state, &got), zpvx::JournalParse::kIncomplete);
    // Paths leaving the target are never taken from a journal, even with a right checksum.
    EXPECT_EQ(zpvx::ParseJournal(zpvx::JournalText({{JournalStep::kPlace, 0, "../outside", {}}}), &state, &got),
              zpvx::JournalParse::kIncomplete);
    std::string newer = text;
    newer.replace(0, 6, "ZPVJ 2");
    EXPECT_EQ(zpvx::ParseJournal(newer, &state, &got), zpvx::JournalParse::kNewer);
}

// The journal's state byte cannot be written: at the commit, and again when a later run finishes
// a commit that was cut short right before its mark. Old files are deleted only under a mark
// that stuck, and no run reports success without one.
TEST_F(Crash, ACommitMarkThatDoesNotStickIsNeverASuccess) {
    class MarkFs : public CrashFs {
    public:
        MarkFs() : CrashFs(0) {}
        bool fail = false;
        long markedAt = 0;
        FsResult PatchByte(const NativeString& p, std::uint64_t at, char v) override {
            if (v != zpvx::kJournalCommitted) return CrashFs::PatchByte(p, at, v);
            if (fail) return FsResult::kFailed;
            markedAt = Count() + 1;
            return CrashFs::PatchByte(p, at, v);
        }
    };
    const Tree old = {{"running.exe", "old program"}, {"a.txt", "a"}};
    const fs::path zip = WritePackage("one.zip", {{"running.exe", "new program"}, {"b.txt", "b"}});
    const Tree newTree = Merge(old, {{"running.exe", "new program"}, {"b.txt", "b"}});
    MakeTree(m_target, old);
    MarkFs failing;
    failing.fail = true;
    EXPECT_EQ(Extract(zip, &failing), ZPV_EXTRACT_COMMIT_FAILED);
    EXPECT_EQ(Diff(old, Snapshot(m_target)), "");

    MarkFs counting;
    ASSERT_EQ(Extract(zip, &counting), 0);
    fs::remove_all(m_target);
    MakeTree(m_target, old);
    ASSERT_EQ(ExtractInChild(zip, counting.markedAt), 77);
    EXPECT_EQ(Extract(WritePackage("two.zip", {{"c.txt", "c"}}), &failing), ZPV_EXTRACT_ROLLBACK_INCOMPLETE);
    EXPECT_TRUE(fs::exists(m_target / zpvx::kWorkFolderName));
    EXPECT_EQ(Extract(WritePackage("two.zip", {{"c.txt", "c"}})), 0);
    EXPECT_EQ(Diff(Merge(newTree, {{"c.txt", "c"}}), Snapshot(m_target)), "");
}
