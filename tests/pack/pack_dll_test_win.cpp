// Packages written by zpvpack's code, unpacked by the real "zlib.dll" as the updater calls it:
// a full release gives the very folder back, and a delta over the old release gives the new;
// check's verdict on hostile packages is the library's.
#include <gtest/gtest.h>
#include <windows.h>

#include "extract/extract_api.h"
#include "extract/extract_status.h"
#include "pack/delta.h"
#include "pack/package_check.h"
#include "pack/package_writer.h"
#include "tests/pack/pack_fixtures.h"

using namespace ztest;
using namespace zpvpack;

namespace {

class PackDll : public ::testing::Test {
protected:
    void SetUp() override {
        HMODULE h = LoadLibraryW(L"zlib.dll");
        ASSERT_NE(h, nullptr);
        extract = reinterpret_cast<ExtractZipToDirFn>(reinterpret_cast<void*>(GetProcAddress(h, "ExtractZipToDir")));
        ASSERT_NE(extract, nullptr);
        m_temp = std::make_unique<zpvtest::TempDir>("pack-dll");
        root = m_temp->Path();
    }
    void TearDown() override { m_temp.reset(); }

    std::unique_ptr<zpvtest::TempDir> m_temp;
    // Packs folder (all of it, or what changed since old) and extracts it into client/ as the
    // updater does; the extractor's status.
    int PackAndExtract(const fs::path& folder, const fs::path& old = fs::path()) {
        std::vector<Item> items, oldItems;
        Failure f;
        EXPECT_TRUE(ScanRelease(folder, &items, &f) && CheckPackageNames(items, &f)) << f.text;
        if (!old.empty()) {
            Delta d;
            EXPECT_TRUE(ScanRelease(old, &oldItems, &f) && MakeDelta(oldItems, items, &d, &f)) << f.text;
            items = d.items;
        }
        PackResult r;
        const fs::path zip = root / "update.zip";
        EXPECT_TRUE(WritePackage(items, zip, &r, &f)) << f.text;
        CheckResult c;
        EXPECT_TRUE(CheckPackage(zip, "", &c, &f)) << f.text;
        const std::wstring target = (root / "client").wstring() + L"\\";
        return extract(zip.wstring().c_str(), target.c_str(), 0);
    }

    ExtractZipToDirFn extract = nullptr;
    fs::path root;
};

}  // namespace

TEST_F(PackDll, FullPackageUnpacksToTheFolder) {
    MakeTree(root / "release" / "Veltaro", Release());
    ASSERT_EQ(PackAndExtract(root / "release" / "Veltaro"), ZPV_EXTRACT_OK);
    EXPECT_EQ(Diff(Snapshot(root / "release"), Snapshot(root / "client")), "");
}

TEST_F(PackDll, DeltaOverTheOldReleaseGivesTheNew) {
    Tree newTree = Release();
    newTree["bin/big.dat"][5] ^= 1;
    newTree["res/new/empty"] = "<dir>";
    newTree["added.txt"] = "added";
    MakeTree(root / "old" / "Veltaro", Release());
    MakeTree(root / "new" / "Veltaro", newTree);
    MakeTree(root / "client" / "Veltaro", Release());
    ASSERT_EQ(PackAndExtract(root / "new" / "Veltaro", root / "old" / "Veltaro"), ZPV_EXTRACT_OK);
    EXPECT_EQ(Diff(Snapshot(root / "new"), Snapshot(root / "client")), "");
}

TEST_F(PackDll, CheckAgreesWithTheLibraryOnHostilePackages) {
    const std::vector<std::string> packages = HostilePackages();
    for (std::size_t i = 0; i < packages.size(); ++i) {
        const fs::path zip = root / "update.zip";
        WriteFile(zip, packages[i]);
        CheckResult r;
        Failure f;
        const bool accepted = CheckPackage(zip, "", &r, &f);
        const std::wstring target = (root / "client").wstring() + L"\\";
        EXPECT_EQ(accepted, i == 0) << "package " << i << ": " << f.text;   // the first one is the good one
        EXPECT_EQ(accepted, extract(zip.wstring().c_str(), target.c_str(), 0) == ZPV_EXTRACT_OK) << "package " << i;
    }
}
