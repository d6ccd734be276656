// What another account may plant in a target it can write: links in the work folder, in the
// staging tree and on the paths of an interrupted commit, special files, foreign names, an
// oversized journal, and a folder swapped for a link while the commit runs. Nothing outside the
// target may be created, changed, moved or deleted, and nothing outside read into it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
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

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;   // the sanitizer's shadow memory is no measure
#else
constexpr bool kSanitized = false;
#endif

long StatusKiB(const std::string& key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, key.size(), key) == 0) return std::stol(line.substr(key.size()));
    return 0;
}

// A journal as an interrupted extraction would have left it (the CRC right unless told).
std::string Journal(char state, const std::string& steps, bool rightCrc = true) {
    std::size_t n = 0;
    for (char c : steps) n += c == '\n';
    char end[48];
    std::snprintf(end, sizeof end, "E\t%zu\t%08lx\n", n,
                  crc32(0, reinterpret_cast<const Bytef*>(steps.data()), static_cast<uInt>(steps.size())) ^ (rightCrc ? 0 : 1));
    return std::string("ZPVJ 1 ") + state + "\n" + steps + end;
}

// Runs a planting right before the commit first changes the target itself.
class SwapFs : public ProxyFs {
public:
    std::function<void()> beforeCommit;
    FsResult Rename(const NativeString& from, const NativeString& to) override {
        return Before(to), ProxyFs::Rename(from, to);
    }
    FsResult MakeDir(const NativeString& p) override { return Before(p), ProxyFs::MakeDir(p); }

private:
    void Before(const NativeString& p) {
        if (beforeCommit && p.find(zpvx::kWorkFolderName) == std::string::npos) {
            beforeCommit();
            beforeCommit = nullptr;
        }
    }
};

class Planted : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::path(::testing::TempDir()) / "zpvx_planted";
        fs::remove_all(root);
        target = root / "client";
        outside = root / "other-account";
        run = target / zpvx::kWorkFolderName / "run-1";
    }
    void TearDown() override { fs::remove_all(root); }

public:
    fs::path root, target, outside, run;
};

}  // namespace

TEST_F(Planted, NothingOutsideTheTargetIsEverTouched) {
    struct Row {
        const char* what;
        std::function<void(Planted&)> plant;
        int status;
        std::function<void(SwapFs&, Planted&)> during = nullptr;
    };
    auto link = [](const fs::path& at, const fs::path& to) {
        fs::create_directories(at.parent_path());
        fs::create_directory_symlink(to, at);
    };
    const std::vector<Row> rows = {
        {"committed run whose old folder is a link",
         [&](Planted& t) {
             WriteFile(t.run / "journal", Journal('C', ""));
             link(t.run / "old", t.outside);
         },
         ZPV_EXTRACT_FOREIGN_WORK},
        {"planned run writing and moving through a link of the target",
         [&](Planted& t) {
             link(t.target / "link", t.outside);
             WriteFile(t.target / "x.txt", "x");
             WriteFile(t.run / "stage/link/planted.dll", "attacker bytes");
             WriteFile(t.run / "stage/x.txt", "attacker x");
             fs::create_directories(t.run / "old");
             WriteFile(t.run / "journal", Journal('P', "N\tlink/planted.dll\nR\t0\tx.txt\tlink/victim\n"));
         },
         ZPV_EXTRACT_FOREIGN_WORK},
        {"staging folder that is a link to the outside",
         [&](Planted& t) {
             link(t.run / "stage/loot", t.outside);
             WriteFile(t.run / "journal", Journal('P', "D\tloot\nN\tloot/secret.txt\n"));
         },
         ZPV_EXTRACT_FOREIGN_WORK},
        {"journal that is a FIFO",
         [&](Planted& t) {
             fs::create_directories(t.run);
             ASSERT_EQ(mkfifo((t.run / "journal").c_str(), 0600), 0);
         },
         ZPV_EXTRACT_FOREIGN_WORK},
        {"work folder that is a link",
         [&](Planted& t) { link(t.target / zpvx::kWorkFolderName, t.outside); }, ZPV_EXTRACT_FOREIGN_WORK},
        {"lock that is a link",
         [&](Planted& t) {
             fs::create_directories(t.target / zpvx::kWorkFolderName);
             fs::create_symlink(t.outside / "secret.txt", t.target / zpvx::kWorkFolderName / "lock");
         },
         ZPV_EXTRACT_FOREIGN_WORK},
        {"unknown name in the work folder",
         [&](Planted& t) { WriteFile(t.target / zpvx::kWorkFolderName / "notes.txt", "?"); }, ZPV_EXTRACT_FOREIGN_WORK},
        {"old file that the journal does not list",
         [&](Planted& t) {
             WriteFile(t.run / "journal", Journal('C', ""));
             WriteFile(t.run / "old/5", "someone's file");
         },
         ZPV_EXTRACT_FOREIGN_WORK},
        {"journal of 50 MB with a wrong CRC",
         [&](Planted& t) {
             // Written in pieces: the test's own peak memory is inherited by the child.
             fs::create_directories(t.run);
             std::ofstream out(t.run / "journal", std::ios::binary);
             std::string piece;
             while (piece.size() < (1u << 20)) piece += "N\ta\n";
             out << "ZPVJ 1 P\n";
             for (int i = 0; i < 50; ++i) out << piece;
             out << "E\t13107200\t00000000\n";
         },
         ZPV_EXTRACT_FOREIGN_WORK},
        {"target folder swapped for a link during the commit", [](Planted&) {}, ZPV_EXTRACT_TARGET_CONFLICT,
         [&](SwapFs& f, Planted& t) {
             f.beforeCommit = [&t, link] {
                 fs::rename(t.target / "bin", t.root / "bin-moved");
                 link(t.target / "bin", t.outside);
             };
         }},
        {"target reached through a link",
         [&](Planted& t) {
             fs::rename(t.target, t.root / "real");
             link(t.target, t.root / "real");
         },
         ZPV_EXTRACT_OK},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(root);
        MakeTree(outside, {{"secret.txt", "other account's secret"}, {"victim", "other account's file"}});
        MakeTree(target, {{"bin/client.exe", "old client"}, {"x.txt", "x"}});
        ZipWriter w;
        w.Add(ZipItem{"bin/client.exe", "new client"});
        w.Add(ZipItem{"bin/loot/secret.txt", "package"});
        WriteFile(root / "update.zip", w.Finish());
        row.plant(*this);
        const Tree outsideBefore = Snapshot(outside), targetBefore = Snapshot(target);

        // In a child process, which ends with status 200 when the extraction grows its peak
        // memory by more than 64 MiB.
        pid_t pid = fork();
        if (pid == 0) {
            if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) std::fputs("5", f), std::fclose(f);
            const long before = StatusKiB("VmRSS:");
            SwapFs f;
            if (row.during) row.during(f, *this);
            zpvx::ExtractOptions o;
            o.fs = &f;
            o.lockRetryMs = 0;
            const int st = zpvx::ExtractArchive((root / "update.zip").string(), target.string(), o).status;
            _exit(StatusKiB("VmHWM:") - before > 64 * 1024 && !kSanitized ? 200 : st);
        }
        int ws = 0;
        ASSERT_EQ(waitpid(pid, &ws, 0), pid);
        ASSERT_TRUE(WIFEXITED(ws));
        EXPECT_EQ(WEXITSTATUS(ws), row.status);
        EXPECT_EQ(Diff(outsideBefore, Snapshot(outside)), "");
        if (row.status == ZPV_EXTRACT_FOREIGN_WORK) {
            EXPECT_EQ(Diff(targetBefore, Snapshot(target)), "");
        }
    }
}
