// zpvpack natively: release folders to verdicts, deterministic bytes, check against the
// extractor core on hostile archives, deltas applied over the old release, the command line.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "extract/extract_status.h"
#include "extract/unpack.h"
#include "extract/zip_path.h"
#include "download/md5.h"
#include "pack/delta.h"
#include "pack/package_check.h"
#include "pack/package_writer.h"
#include "pack/sha256.h"
#include "tests/pack/pack_fixtures.h"

using namespace ztest;
using namespace zpvpack;

namespace {

fs::path Scratch(const std::string& name) {
    fs::path p = fs::path(::testing::TempDir()) / ("zpvpack_" + name);
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
}

// A file 130 folders down: with the top folder, deeper than the extractor goes.
std::string Deep() {
    std::string s;
    for (int i = 0; i < 130; ++i) s += "d/";
    return s + "x";
}

// Packs root/name; the failure's text when refused.
int Pack(const fs::path& folder, const fs::path& out, std::string* why, PackResult* r = nullptr, unsigned threads = 0) {
    std::vector<Item> items;
    Failure f;
    PackResult local;
    if (!ScanRelease(folder, &items, &f) || !CheckPackageNames(items, &f) ||
        !WritePackage(items, out, r ? r : &local, &f, threads)) {
        *why = f.text;
        return f.status;
    }
    return kOk;
}

int Extract(const fs::path& zip, const fs::path& target) {
    return zpvx::ExtractArchive(zip.string(), target.string(), zpvx::ExtractOptions()).status;
}

}  // namespace

TEST(Pack, ReleaseFoldersGiveTheirVerdicts) {
    struct Case {
        const char* what;
        Tree tree;
        int pack;                // pack's verdict
        const char* why;         // part of the refusal
        bool layoutOk = true;    // check's verdict on the layout of a packed folder
    };
    const Case cases[] = {
        {"good", Release(), kOk, ""},
        {"one level too deep", {{"ZPVUpdate.exe", "u"}, {"zlib.dll", "d"}}, kOk, "", false},
        {"one level too high", {{"Veltaro/Updater/ZPVUpdate.exe", "u"}}, kOk, "", false},
        {"device name", {{"bin/CON.txt", "x"}}, kRefused, "device name"},
        {"reserved character", {{"a:b.txt", "x"}}, kRefused, "not allowed"},
        {"trailing dot", {{"bin/readme.", "x"}}, kRefused, "dot or space"},
        {"trailing space", {{"bin/readme ", "x"}}, kRefused, "dot or space"},
        {"backslash", {{"a\\b.txt", "x"}}, kRefused, "would unpack as"},
        {"invalid text", {{"bad\xFF.txt", "x"}}, kRefused, "not valid text"},
        {"letter case twins", {{"Bin/a.txt", "1"}, {"bin/b.txt", "2"}}, kRefused, "letter case"},
        {"letter case twin files", {{"a.txt", "1"}, {"A.txt", "2"}}, kRefused, "letter case"},
        {"short-name alias", {{"res/LONGFI~1.TXT", "1"}, {"res/long file name.txt", "2"}}, kRefused, "short name"},
        {"too deep", {{Deep(), "x"}}, kRefused, "too deep"},
        {"empty folders only", {{"a/b", "<dir>"}}, kOk, ""},
    };
    for (const Case& c : cases) {
        const fs::path root = Scratch("verdict");
        MakeTree(root / "Veltaro", c.tree);
        std::string why;
        EXPECT_EQ(Pack(root / "Veltaro", root / "p.zip", &why), c.pack) << c.what << ": " << why;
        EXPECT_NE(why.find(c.why), std::string::npos) << c.what << ": " << why;
        EXPECT_EQ(fs::exists(root / "p.zip"), c.pack == kOk) << c.what;
        EXPECT_FALSE(fs::exists(root / "p.zip.part")) << c.what;
        if (c.pack != kOk) continue;
        CheckResult r;
        Failure f;
        EXPECT_EQ(CheckPackage(root / "p.zip", "", &r, &f), c.layoutOk) << c.what << ": " << f.text;
        if (!c.layoutOk) continue;
        // What the extractor unpacks is the folder itself.
        ASSERT_EQ(Extract(root / "p.zip", root / "Client"), ZPV_EXTRACT_OK) << c.what;
        EXPECT_EQ(Diff(Snapshot(root / "Veltaro"), Snapshot(root / "Client" / "Veltaro")), "") << c.what;
    }
}

TEST(Pack, LinksAndSpecialFilesAreRefused) {
    const fs::path root = Scratch("links");
    MakeTree(root / "Veltaro", {{"a.txt", "x"}});
    fs::create_symlink("a.txt", root / "Veltaro" / "link.txt");
    std::string why;
    EXPECT_EQ(Pack(root / "Veltaro", root / "p.zip", &why), kRefused);
    EXPECT_NE(why.find("link.txt: a link"), std::string::npos) << why;
    fs::remove(root / "Veltaro" / "link.txt");
    ASSERT_EQ(mkfifo((root / "Veltaro" / "pipe").c_str(), 0600), 0);
    EXPECT_EQ(Pack(root / "Veltaro", root / "p.zip", &why), kRefused);
    EXPECT_NE(why.find("not a regular file"), std::string::npos) << why;
}

TEST(Pack, SameFolderGivesTheSameBytes) {
    // Two copies made in opposite order, with different times, packed with 1 and 2 threads.
    const fs::path root = Scratch("same");
    const Tree t = Release();
    for (auto it = t.rbegin(); it != t.rend(); ++it) MakeTree(root / "b" / "Veltaro", {*it});
    MakeTree(root / "a" / "Veltaro", t);
    fs::last_write_time(root / "b" / "Veltaro" / "ZPVLaunch.exe", fs::file_time_type::clock::now() - std::chrono::hours(1000));
    std::string why;
    PackResult ra, rb;
    ASSERT_EQ(Pack(root / "a" / "Veltaro", root / "a.zip", &why, &ra, 1), kOk) << why;
    ASSERT_EQ(Pack(root / "b" / "Veltaro", root / "b.zip", &why, &rb, 2), kOk) << why;
    EXPECT_EQ(ReadFile(root / "a.zip"), ReadFile(root / "b.zip"));
    EXPECT_EQ(ra.md5, rb.md5);
    EXPECT_EQ(ra.md5, MD5Hex(ReadFile(root / "a.zip").data(), ra.bytes));
    EXPECT_EQ(ra.files, 6u);
}

TEST(Pack, Sha256KnownAnswers) {
    const std::pair<std::string, const char*> cases[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (bool cpu : {false, true}) {
        for (const auto& [text, digest] : cases) {
            Sha256 whole(cpu), pieces(cpu);
            whole.Update(text.data(), text.size());
            for (std::size_t at = 0; at < text.size(); at += 77) pieces.Update(text.data() + at, std::min<std::size_t>(77, text.size() - at));
            EXPECT_EQ(whole.FinalHex(), digest) << cpu;
            EXPECT_EQ(pieces.FinalHex(), digest) << cpu;
        }
    }
}

TEST(Pack, CheckAgreesWithTheExtractorOnHostileArchives) {
    const std::vector<std::string> archives = HostilePackages();
    int i = 0;
    for (const std::string& a : archives) {
        const fs::path root = Scratch("hostile");
        WriteFile(root / "p.zip", a);
        CheckResult r;
        Failure f;
        const bool accepted = CheckPackage(root / "p.zip", "", &r, &f);
        EXPECT_EQ(accepted, Extract(root / "p.zip", root / "Client") == ZPV_EXTRACT_OK) << "archive " << i << ": " << f.text;
        EXPECT_EQ(accepted, i == 0) << "archive " << i;   // the first one is the good one
        EXPECT_EQ(accepted ? kOk : kRefused, accepted ? kOk : f.status) << "archive " << i;
        ++i;
    }
}

TEST(Pack, DeltaOverTheOldReleaseGivesTheNewFiles) {
    const fs::path root = Scratch("delta");
    Tree oldTree = Release(), newTree = Release();
    newTree["ZPVLaunch.exe"] = "new launcher";
    newTree["bin/big.dat"][1000] ^= 1;
    newTree["res/new/empty"] = "<dir>";
    newTree["added.txt"] = "added";
    newTree.erase("res/zero.dat");
    MakeTree(root / "old" / "Veltaro", oldTree);
    MakeTree(root / "new" / "Veltaro", newTree);
    std::vector<Item> o, n;
    Failure f;
    Delta d;
    ASSERT_TRUE(ScanRelease(root / "old" / "Veltaro", &o, &f) && ScanRelease(root / "new" / "Veltaro", &n, &f)) << f.text;
    ASSERT_TRUE(MakeDelta(o, n, &d, &f)) << f.text;
    EXPECT_EQ(d.gone, std::vector<std::string>{"res/zero.dat"});
    EXPECT_EQ(d.added, 1u);
    EXPECT_EQ(d.changed, 2u);
    PackResult r;
    ASSERT_TRUE(WritePackage(d.items, root / "d.zip", &r, &f)) << f.text;

    MakeTree(root / "Client" / "Veltaro", oldTree);
    CheckResult c;
    ASSERT_TRUE(CheckPackage(root / "d.zip", root / "Client" / "Veltaro", &c, &f)) << f.text;
    EXPECT_EQ(c.changes.add, std::vector<std::string>{"added.txt"});
    EXPECT_EQ(c.changes.replace, (std::vector<std::string>{"ZPVLaunch.exe", "bin/big.dat"}));
    EXPECT_EQ(c.changes.unchanged, 0u);
    EXPECT_EQ(c.changes.staysBehind.size(), 4u);   // all the rest: a delta holds only changes

    ASSERT_EQ(Extract(root / "d.zip", root / "Client"), ZPV_EXTRACT_OK);
    WriteFile(root / "new" / "Veltaro" / "res" / "zero.dat", "");   // nothing is removed
    EXPECT_EQ(Diff(Snapshot(root / "new" / "Veltaro"), Snapshot(root / "Client" / "Veltaro")), "");

    // A path that turns from file into folder cannot be delivered as a delta.
    fs::remove(root / "new" / "Veltaro" / "added.txt");
    MakeTree(root / "new" / "Veltaro", {{"added.txt/inner", "x"}});
    MakeTree(root / "old" / "Veltaro", {{"added.txt", "file"}});
    ASSERT_TRUE(ScanRelease(root / "old" / "Veltaro", &o, &f) && ScanRelease(root / "new" / "Veltaro", &n, &f)) << f.text;
    EXPECT_FALSE(MakeDelta(o, n, &d, &f));
    EXPECT_NE(f.text.find("full package"), std::string::npos) << f.text;
}

TEST(Pack, ShortNameAliases) {
    const struct {
        const char *shortName, *longName;
        bool alias;
    } cases[] = {
        {"PROGRA~1", "Program Files", true},   {"progra~2", "program files", true}, {"LONGFI~1.TXT", "long file.txt", true},
        {"LONGFI~1.TXT", "long file.dat", false}, {"AB12CD~1.TXT", "abcdefghij.txt", true}, {"AB12CD~1.TXT", "xyz.txt", false},
        {"README~1", "README", false},         {"A~B", "abc def", false},           {"X~1", "X~1", false},
    };
    for (const auto& c : cases) EXPECT_EQ(zpvx::MayBeShortNameOf(c.shortName, c.longName), c.alias) << c.shortName << " " << c.longName;
}

TEST(Pack, CommandLineStatuses) {
    const fs::path root = Scratch("cli");
    MakeTree(root / "Veltaro", Release());
    WriteFile(root / "junk.zip", "not a zip at all, long enough to have no end record");
    const std::string tool = ZPVPACK_PATH, r = root.string();
    const struct {
        std::string args;
        int status;
    } cases[] = {
        {"", kUsage}, {"--help", kOk}, {"pack " + r + "/Veltaro", kUsage}, {"pack -x " + r + "/Veltaro -o " + r + "/p.zip", kUsage},
        {"frob", kUsage}, {"check", kUsage}, {"check " + r + "/missing.zip", kIoError}, {"check " + r + "/junk.zip", kRefused},
        {"pack " + r + "/Veltaro -o " + r + "/Veltaro/p.zip", kUsage},
        {"pack " + r + "/Veltaro -o " + r + "/p.zip -url=http://h/d/", kOk}, {"check " + r + "/p.zip -installed=" + r + "/Veltaro", kOk},
        {"pack " + r + "/Veltaro -o " + r + "/p.zip '-url=http://h/a b/'", kUsage},
        {"pack " + r + "/Veltaro -o " + r + "/nofolder/p.zip", kIoError},
        {"pack " + r + "/Veltaro/Updater -o " + r + "/u.zip", kRefused},
    };
    for (const auto& c : cases) {
        const int st = std::system((tool + " " + c.args + " >/dev/null 2>&1").c_str());
        EXPECT_EQ(WEXITSTATUS(st), c.status) << c.args;
    }
}
