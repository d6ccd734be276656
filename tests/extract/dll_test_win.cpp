// "zlib.dll" loaded by name and called through its export exactly as the updater calls it.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "extract/extract_api.h"
#include "tree_util.h"
#include "zip_writer.h"

using namespace ztest;

namespace {

fs::path ModuleDir() {
    wchar_t buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    return fs::path(std::wstring(buf, n)).parent_path();
}

ExtractZipToDirFn LoadExtractor() {
    HMODULE h = LoadLibraryW(L"zlib.dll");
    if (!h) return nullptr;
    return reinterpret_cast<ExtractZipToDirFn>(reinterpret_cast<void*>(GetProcAddress(h, "ExtractZipToDir")));
}

class Dll : public ::testing::Test {
protected:
    void SetUp() override {
        extract = LoadExtractor();
        ASSERT_NE(extract, nullptr);
        m_temp = std::make_unique<zpvtest::TempDir>("dll");
        root = m_temp->Path();
        fs::create_directories(root / "app" / "update");
        target = root / "client";
        zip = root / "app" / "update" / "update.zip";
    }
    void TearDown() override { m_temp.reset(); }

    std::unique_ptr<zpvtest::TempDir> m_temp;

    // As the updater: full package path, folder with a trailing backslash, 0.
    int Run(uint32_t reserved = 0) {
        std::wstring folder = target.wstring() + L"\\";
        return extract(zip.wstring().c_str(), folder.c_str(), reserved);
    }
    void Write(const std::string& bytes) { WriteFile(zip, bytes); }

    ExtractZipToDirFn extract = nullptr;
    fs::path root, target, zip;
    const Tree existing = {{"ZPVUpdate.exe", "old updater"}, {"zlib.dll", "old dll"}, {"bin/client.exe", "old client"},
                            {"bin/user.cfg", "settings"},     {"logs", "<dir>"}};
};

// Starts a copy of the sleeper at path and returns once it runs (its image is then in use).
bool StartRunning(const fs::path& path, PROCESS_INFORMATION* pi) {
    const std::wstring eventName = L"zpvx_started_" + std::to_wstring(GetCurrentProcessId());
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, eventName.c_str());
    std::wstring cmd = L"\"" + path.wstring() + L"\" " + eventName;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    const bool ok = started && CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, pi) &&
                    WaitForSingleObject(started, 10000) == WAIT_OBJECT_0;
    if (started) CloseHandle(started);
    return ok;
}

std::string Package(const std::vector<ZipItem>& items) {
    ZipWriter w;
    for (const ZipItem& i : items) w.Add(i);
    return w.Finish();
}

std::vector<ZipItem> GoodItems() {
    ZipItem utf8{"\xE4\xB8\xAD\xE6\x96\x87/\xE5\x8D\x87\xE7\xBA\xA7.txt", "utf-8 name"};   // 中文/升级.txt
    utf8.flags = 1 << 11;
    return {ZipItem{"ZPVUpdate.exe", Noise(200000, 1), 8}, ZipItem{"zlib.dll", Noise(50000, 2), 0},
            ZipItem{"bin/client.exe", Text(300000, 3)},   ZipItem{"bin/plugins/a.dll", "a"},
            ZipItem{"res/empty.txt", ""},                   ZipItem{"res/skins/", ""},
            ZipItem{"res\\back\\slash.txt", "backslashes"}, utf8};
}

}  // namespace

TEST_F(Dll, IsFoundBesideTheProgramAndExportsTheUndecoratedName) {
    HMODULE h = GetModuleHandleW(L"zlib.dll");
    ASSERT_NE(h, nullptr);
    wchar_t buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(h, buf, MAX_PATH);
    EXPECT_EQ(fs::path(std::wstring(buf, n)).parent_path(), ModuleDir());
    EXPECT_EQ(extract(nullptr, L"C:\\x\\", 0), ZPV_EXTRACT_BAD_ARGUMENT);
    EXPECT_EQ(extract(L"", L"C:\\x\\", 0), ZPV_EXTRACT_BAD_ARGUMENT);

    // Linked through the import library, as the updater is.
    std::wstring cmd = L"\"" + (ModuleDir() / "extract_import_probe.exe").wstring() + L"\" \"" +
                       (root / "missing.zip").wstring() + L"\" \"" + target.wstring() + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    WaitForSingleObject(pi.hProcess, 30000);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    EXPECT_EQ(code, static_cast<DWORD>(ZPV_EXTRACT_ARCHIVE_UNREADABLE));
}

TEST_F(Dll, ExtractsAGoodPackageOverTheClient) {
    MakeTree(target, existing);
    std::vector<ZipItem> items = GoodItems();
    // A name without the UTF-8 flag is in the OEM code page.
    items.push_back(ZipItem{"legacy\x81.txt", "oem name"});
    Write(Package(items));
    ASSERT_EQ(Run(), ZPV_EXTRACT_OK);

    Tree want = existing;
    for (const ZipItem& i : GoodItems()) {
        std::string k = i.name;
        for (char& c : k)
            if (c == '\\') c = '/';
        if (k.back() == '/') {
            want[k.substr(0, k.size() - 1)] = "<dir>";
        } else {
            want[k] = i.data;
        }
    }
    for (const char* d : {"bin", "bin/plugins", "res", "res/back", "\xE4\xB8\xAD\xE6\x96\x87"}) want[d] = "<dir>";
    wchar_t oem[2] = {};
    ASSERT_EQ(MultiByteToWideChar(CP_OEMCP, 0, "\x81", 1, oem, 1), 1);
    want[fs::path(L"legacy" + std::wstring(oem, 1) + L".txt").u8string()] = "oem name";
    EXPECT_EQ(Diff(want, Snapshot(target)), "");

    // The same package again is a plain replacement.
    ASSERT_EQ(Run(), ZPV_EXTRACT_OK);
    EXPECT_EQ(Diff(want, Snapshot(target)), "");
}

TEST_F(Dll, HostilePackagesChangeNothing) {
    MakeTree(target, existing);
    const Tree before = Snapshot(target);
    const Tree outside = Snapshot(root);

    std::vector<std::pair<std::string, int>> cases;
    auto unsafe = [&](const std::string& name) {
        cases.push_back({Package({ZipItem{"fine.txt", "x"}, ZipItem{name, "evil"}}), ZPV_EXTRACT_UNSAFE_PATH});
    };
    for (const char* n : {"..\\..\\evil.txt", "../evil.txt", "bin/../../evil.txt", "C:\\evil.txt", "C:evil.txt",
                          "\\\\server\\share\\evil.txt", "\\evil.txt", "/evil.txt", "CON", "bin/nul.txt", "COM1.dll",
                          "LPT1", "zlib.dll:stream", "bin/client.exe::$DATA", "evil.", ".zpv-extract/stage-1/x"})
        unsafe(n);

    const std::string text = Text(100000, 7);
    ZipItem badCrc{"zz_last.txt", text};
    badCrc.crc = Crc(text) + 1;
    std::vector<ZipItem> items = GoodItems();
    items.push_back(badCrc);   // everything else is staged before this one fails
    cases.push_back({Package(items), ZPV_EXTRACT_CRC_MISMATCH});

    ZipItem lying{"bin/client.exe", text};
    lying.size = text.size() - 10;
    cases.push_back({Package({ZipItem{"ZPVUpdate.exe", "new"}, lying}), ZPV_EXTRACT_SIZE_MISMATCH});

    ZipItem bomb{"bomb.bin", std::string(8u << 20, '\0')};
    bomb.size = 4096;
    cases.push_back({Package({bomb}), ZPV_EXTRACT_SIZE_MISMATCH});

    ZipItem inner{"b.txt", "shared"};
    ZipWriter ow;
    std::uint64_t at = ow.Add(ZipItem{"a.bin", "pad" + ZipWriter::LocalRecord(inner), 0});
    ow.AddCentral(inner, at + 30 + 5 + 3);
    cases.push_back({ow.Finish(), ZPV_EXTRACT_OVERLAPPING_ENTRIES});

    const std::string good = Package(GoodItems());
    cases.push_back({good.substr(0, good.size() / 2), ZPV_EXTRACT_NOT_AN_ARCHIVE});
    cases.push_back({good.substr(0, good.size() - 5), ZPV_EXTRACT_TRUNCATED});

    ZipWriter cw;
    cw.Add(ZipItem{"a", "a"});
    ZipWriter::End end;
    end.zip64 = true;
    end.count = 1ull << 40;
    cases.push_back({cw.Finish(end), ZPV_EXTRACT_TOO_MANY_ENTRIES});
    cases.push_back({Package({ZipItem{"Bin/Client.exe", "1"}, ZipItem{"bin/client.EXE", "2"}}), ZPV_EXTRACT_DUPLICATE_ENTRY});
    cases.push_back({Package({ZipItem{"bin/user.cfg/x", "file where a folder is"}}), ZPV_EXTRACT_TARGET_CONFLICT});

    for (std::size_t i = 0; i < cases.size(); ++i) {
        Write(cases[i].first);
        EXPECT_EQ(Run(), cases[i].second) << "case " << i;
        EXPECT_EQ(Diff(before, Snapshot(target)), "") << "case " << i;
    }
    Tree after = Snapshot(root);
    after.erase("app/update/update.zip");
    Tree outsideWant = outside;
    outsideWant.erase("app/update/update.zip");
    EXPECT_EQ(Diff(outsideWant, after), "");
}

TEST_F(Dll, AFileHeldOpenIsRetriedThenRolledBack) {
    MakeTree(target, existing);
    const Tree before = Snapshot(target);
    Write(Package(GoodItems()));
    // Open without delete sharing: neither rename nor overwrite is possible.
    const std::wstring held = (target / "bin" / "client.exe").wstring();
    HANDLE h = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(400), ZPV_EXTRACT_FILE_LOCKED);   // retry time shortened for the test
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 400);
    EXPECT_LT(ms, 8000);
    CloseHandle(h);
    EXPECT_EQ(Diff(before, Snapshot(target)), "");

    // Released while the default retry time runs: the extraction goes through.
    h = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::thread release([h] {
        Sleep(1000);
        CloseHandle(h);
    });
    EXPECT_EQ(Run(), ZPV_EXTRACT_OK);
    release.join();
    EXPECT_EQ(ReadFile(target / "bin" / "client.exe"), Text(300000, 3));
    EXPECT_FALSE(fs::exists(target / ".zpv-extract"));
}

TEST_F(Dll, ARunningProgramIsReplaced) {
    MakeTree(target, existing);
    fs::copy_file(ModuleDir() / "extract_sleeper.exe", target / "running.exe");
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(StartRunning(target / "running.exe", &pi));
    Write(Package({ZipItem{"running.exe", "new program"}, ZipItem{"zlib.dll", "new dll"}}));
    EXPECT_EQ(Run(), ZPV_EXTRACT_OK);
    EXPECT_EQ(ReadFile(target / "running.exe"), "new program");
    TerminateProcess(pi.hProcess, 9);
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    // Whatever could not be deleted while it ran is gone after the next run.
    EXPECT_EQ(Run(), ZPV_EXTRACT_OK);
    EXPECT_FALSE(fs::exists(target / ".zpv-extract"));
    EXPECT_EQ(ReadFile(target / "running.exe"), "new program");
}

namespace {

DWORD RunProgram(std::wstring cmd, DWORD timeoutMs = 120000) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 0xFFFFFFFF;
    if (WaitForSingleObject(pi.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 0xFFFFFFFD);
        WaitForSingleObject(pi.hProcess, 10000);
    }
    DWORD code = 0xFFFFFFFE;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return code;
}

// The 8.3 name the file system gives an existing file or folder (empty when it has none).
std::string ShortName(const fs::path& p) {
    wchar_t buf[MAX_PATH];
    DWORD n = GetShortPathNameW(p.wstring().c_str(), buf, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return "";
    std::string s = fs::path(std::wstring(buf, n)).filename().u8string();
    return s == p.filename().u8string() ? "" : s;
}

}  // namespace

TEST_F(Dll, ShortNameAliasesOfExistingFilesAreRefused) {
    MakeTree(target, existing);
    WriteFile(target / "Program Resources" / "skin.xml", "old skin");
    const Tree before = Snapshot(target);
    // Which names get a short alias here (only names that are not already 8.3 names).
    for (const char* n : {"ZPVUpdate.exe", "zlib.dll", "Program Resources", "bin", "bin/client.exe", "bin/user.cfg"})
        std::printf("short name of %s: %s\n", n, ShortName(target / fs::u8path(n)).c_str());
    const std::string exeAlias = ShortName(target / "ZPVUpdate.exe");
    const std::string dirAlias = ShortName(target / "Program Resources");
    ASSERT_FALSE(exeAlias.empty());
    ASSERT_FALSE(dirAlias.empty());

    // The alias after the long name meets it already in the staging folder, as a second entry.
    const std::vector<std::pair<std::vector<ZipItem>, int>> cases = {
        {{ZipItem{exeAlias, "replaces the updater through its alias"}}, ZPV_EXTRACT_NAME_ALIAS},
        {{ZipItem{exeAlias, "alias first"}, ZipItem{"ZPVUpdate.exe", "new updater"}}, ZPV_EXTRACT_NAME_ALIAS},
        {{ZipItem{"ZPVUpdate.exe", "new updater"}, ZipItem{exeAlias, "alias last"}}, ZPV_EXTRACT_DUPLICATE_ENTRY},
        {{ZipItem{"zlib.dll", "new dll"}, ZipItem{dirAlias + "/skin.xml", "through a folder alias"}}, ZPV_EXTRACT_NAME_ALIAS},
        {{ZipItem{dirAlias + "/", ""}}, ZPV_EXTRACT_NAME_ALIAS},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        Write(Package(cases[i].first));
        EXPECT_EQ(Run(), cases[i].second) << "case " << i;
        EXPECT_EQ(Diff(before, Snapshot(target)), "") << "case " << i;
    }
    EXPECT_FALSE(fs::exists(target / ".zpv-extract"));

    // Letter case alone is the same name: the file is replaced, and keeps no second copy.
    Write(Package({ZipItem{"zpvupdate.EXE", "new updater"}, ZipItem{"program resources/SKIN.xml", "new skin"}}));
    ASSERT_EQ(Run(), ZPV_EXTRACT_OK);
    EXPECT_EQ(ReadFile(target / "ZPVUpdate.exe"), "new updater");
    EXPECT_EQ(ReadFile(target / "Program Resources" / "skin.xml"), "new skin");
    EXPECT_EQ(Snapshot(target).size(), before.size());
}

TEST_F(Dll, OldFilesOfAFinishedExtractionAreNeverPutBack) {
    MakeTree(target, existing);
    fs::copy_file(ModuleDir() / "extract_sleeper.exe", target / "running.exe");
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(StartRunning(target / "running.exe", &pi));
    Write(Package({ZipItem{"running.exe", "new program"}}));
    EXPECT_EQ(Run(), ZPV_EXTRACT_OK);   // the running old copy cannot be deleted yet
    // The client removes the program; an unrelated update follows while the old one still runs.
    fs::remove(target / "running.exe");
    Write(Package({ZipItem{"bin/new.txt", "new"}}));
    EXPECT_EQ(Run(), ZPV_EXTRACT_OK);
    EXPECT_FALSE(fs::exists(target / "running.exe"));
    TerminateProcess(pi.hProcess, 9);
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    EXPECT_EQ(Run(), ZPV_EXTRACT_OK);
    EXPECT_FALSE(fs::exists(target / "running.exe"));
    EXPECT_FALSE(fs::exists(target / ".zpv-extract"));
}

// Entries ~4,080 one-letter folders deep, each under a folder of its own: the library, run in a
// child process as the updater runs it, stays within 64 MiB of peak working set.
TEST_F(Dll, DeepPathArchivesStayWithinBoundedMemory) {
    MakeTree(target, existing);
    const Tree before = Snapshot(target);
    for (int count : {50, 150}) {
        ZipWriter w;
        for (int i = 0; i < count; ++i) {
            std::string name = std::string(1, static_cast<char>('a' + i % 26)) + std::to_string(i / 26) + "/";
            while (name.size() < 8150) name += "a/";
            w.Add(ZipItem{name + "f.txt", "deep"});
        }
        Write(w.Finish());
        const fs::path peakFile = root / "peak.txt";
        DWORD code = RunProgram(L"\"" + (ModuleDir() / "extract_import_probe.exe").wstring() + L"\" \"" + zip.wstring() +
                                L"\" \"" + target.wstring() + L"\" \"" + peakFile.wstring() + L"\"");
        EXPECT_NE(code, 0u);
        EXPECT_LT(code, 100u) << "the child failed to run or crashed";
        const unsigned long long peak = std::stoull("0" + ReadFile(peakFile));
        std::printf("deep archive, %d entries: status %lu, peak working set %llu KiB\n", count, code, peak / 1024);
        EXPECT_GT(peak, 0u);
        EXPECT_LE(peak, 64ull << 20) << count << " entries";
        EXPECT_EQ(Diff(before, Snapshot(target)), "");
    }
}

// Needs volumes prepared by volumes.sh: a small full one and a read-only one, as drive letters.
TEST_F(Dll, AFullOrReadOnlyVolumeChangesNothing) {
    const char* full = std::getenv("ZPV_TEST_FULL_DRIVE");
    const char* ro = std::getenv("ZPV_TEST_RO_DRIVE");
    if (!full || !ro) GTEST_SKIP() << "run through volumes.sh";

    target = fs::path(std::string(full) + "\\client");
    MakeTree(target, existing);
    const Tree before = Snapshot(target);
    // Leave about 400 KiB free: the package needs a good deal more.
    const fs::path filler = fs::path(std::string(full) + "\\filler.bin");
    ULARGE_INTEGER freeBytes{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(target.wstring().c_str(), &freeBytes, nullptr, nullptr));
    ASSERT_GT(freeBytes.QuadPart, 600u * 1024);
    WriteFile(filler, std::string(static_cast<std::size_t>(freeBytes.QuadPart - 400 * 1024), 'f'));
    std::vector<ZipItem> big = GoodItems();
    big.push_back(ZipItem{"bin/big.dat", Noise(900 * 1024, 5), 0});
    Write(Package(big));
    EXPECT_EQ(Run(), ZPV_EXTRACT_DISK_FULL);
    EXPECT_EQ(Diff(before, Snapshot(target)), "");
    EXPECT_FALSE(fs::exists(target / ".zpv-extract"));
    // With room again the same package goes through.
    fs::remove(filler);
    EXPECT_EQ(Run(), ZPV_EXTRACT_OK);

    target = fs::path(std::string(ro) + "\\client");
    const Tree roBefore = Snapshot(target);
    ASSERT_FALSE(roBefore.empty());
    Write(Package(GoodItems()));
    EXPECT_EQ(Run(), ZPV_EXTRACT_READ_ONLY);
    EXPECT_EQ(Diff(roBefore, Snapshot(target)), "");
}

// A commit cut short between moving the old updater aside and the new one in, as the journal's
// description has it: the next call finishes it before its own package, and an undoing journal
// is undone.
TEST_F(Dll, AnInterruptedCommitFromTheJournalIsFinishedOrUndone) {
    auto journal = [](char state, const std::string& body, int count) {
        char end[40];
        std::snprintf(end, sizeof end, "E\t%d\t%08x\n", count, static_cast<unsigned>(Crc(body)));
        return std::string("ZPVJ 1 ") + state + "\n" + body + end;
    };
    const std::string body = "D\tres\nN\tres/new.txt\nR\t0\tZPVUpdate.exe\tZPVUpdate.exe\n";
    for (char state : {'P', 'U'}) {
        fs::remove_all(target);
        MakeTree(target, existing);
        const Tree before = Snapshot(target);
        const fs::path run = target / ".zpv-extract" / "run-1";
        WriteFile(run / "journal", journal(state, body, 3));
        WriteFile(run / "stage" / "ZPVUpdate.exe", "new updater");
        fs::create_directories(run / "old");
        fs::rename(target / "ZPVUpdate.exe", run / "old" / "0");   // the crash came here
        WriteFile(run / "stage" / "res" / "new.txt", "placed");
        fs::create_directories(target / "res");
        fs::rename(run / "stage" / "res" / "new.txt", target / "res" / "new.txt");

        Write(Package({ZipItem{"bin/other.txt", "unrelated"}}));
        ASSERT_EQ(Run(), ZPV_EXTRACT_OK) << state;
        Tree want = before;
        want["bin/other.txt"] = "unrelated";
        if (state == 'P') {
            want["ZPVUpdate.exe"] = "new updater";
            want["res"] = "<dir>";
            want["res/new.txt"] = "placed";
        }
        EXPECT_EQ(Diff(want, Snapshot(target)), "") << state;
        EXPECT_FALSE(fs::exists(target / ".zpv-extract")) << state;
    }
}

// Links another account planted in the target and its work folder (made by planted_wine.py):
// nothing outside the target changes, and a planted work folder is left as it is.
TEST_F(Dll, PlantedLinksNeverReachOutside) {
    const char* top = std::getenv("ZPV_TEST_PLANTED");
    if (!top) GTEST_SKIP() << "run through planted_wine.py";
    int rows = 0;
    for (const auto& row : fs::directory_iterator(fs::u8path(top))) {
        const std::string name = row.path().filename().u8string();
        SCOPED_TRACE(name);
        const int status = std::atoi(name.c_str() + 3);
        target = row.path() / "client";
        const Tree outside = Snapshot(row.path() / "outside"), client = Snapshot(target);
        Write(Package(GoodItems()));
        EXPECT_EQ(Run(), status);
        EXPECT_EQ(Diff(outside, Snapshot(row.path() / "outside")), "");
        if (status) {
            EXPECT_EQ(Diff(client, Snapshot(target)), "");
        }
        ++rows;
    }
    EXPECT_EQ(rows, 5);
}
