// End to end: the real updater, nginx on loopback, and stand-ins for the client ("zpvclient.exe"
// with a window of class "veltaro") and its launcher ("ZPVLaunch.exe", records its command line).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/core/process_op.h"
#include "download/md5.h"
#include "tests/e2e/e2e_util.h"
#include "tests/support/support_win.h"

using namespace e2e;
using namespace wintest;

namespace {
const int kProgressRow = 75, kProgressLeft = 10, kProgressWidth = 210;

// Pixels of the progress bar read from the screen: its orange fill, and the fill with the grey
// track (none once the bar is hidden in the ready state).
struct ProgressPixels {
    int fill = 0;
    int bar = 0;
};
ProgressPixels ReadProgress(HWND h) {
    POINT origin{0, 0};
    ClientToScreen(h, &origin);
    HDC screen = GetDC(nullptr);
    ProgressPixels p;
    for (int x = 0; x < kProgressWidth; ++x) {
        const COLORREF c = GetPixel(screen, origin.x + kProgressLeft + x, origin.y + kProgressRow);
        const bool fill = GetRValue(c) > 240 && GetGValue(c) > 130 && GetGValue(c) < 175 && GetBValue(c) < 40;
        const bool track = GetRValue(c) == 225 && GetGValue(c) == 225 && GetBValue(c) == 225;
        p.fill += fill;
        p.bar += fill || track;
    }
    ReleaseDC(nullptr, screen);
    return p;
}
int ProgressFill(HWND h) { return ReadProgress(h).fill; }
// The optional update's ready state: the bar and the skip button gave way to the install button.
bool ReadyStateShown(HWND h) { return ReadProgress(h).bar == 0; }

// The window's lower right corner on the work area's (whose left and top offsets are not added).
bool PlacedLowerRight(HWND h) {
    RECT r, work;
    GetWindowRect(h, &r);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    return r.right == work.right - work.left && r.bottom == work.bottom - work.top;
}

// The support log file's text after the run: its first line names the command line, its last
// line the outcome.
std::string RunEnd(const std::string& log) {
    const std::size_t at = log.rfind("] run ends: ");
    return at == std::string::npos ? std::string() : log.substr(at + 12);
}

class UpdateRun : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string port = Env("ZPV_HTTP_PORT"), www = Env("ZPV_WWW");
        ASSERT_FALSE(port.empty() || www.empty()) << "run under tools/test.sh: nginx must be started (ZPV_HTTP_PORT, ZPV_WWW)";
        ASSERT_EQ(FindProcess_ByName(kClientImageName), 0u) << "a client is already running";
        m_root = MakeTempDir(L"e2e");
        m_client = m_root + L"Client\\";
        m_launcherDir = m_client + L"Veltaro\\";
        m_updaterDir = m_launcherDir + L"Updater\\";
        ASSERT_TRUE(CopyTo(ExeDir() + L"ZPVUpdate.exe", m_updaterDir + L"ZPVUpdate.exe"));
        ASSERT_TRUE(CopyTo(ExeDir() + L"zlib.dll", m_updaterDir + L"zlib.dll"));
        ASSERT_TRUE(CopyTo(ExeDir() + L"fake_client.exe", m_launcherDir + L"ZPVLaunch.exe"));
        // The package, served by nginx.
        const std::string pkg = ReadFile(ExeDir() + L"e2e-package.zip");
        ASSERT_FALSE(pkg.empty());
        m_md5 = MD5Hex(pkg.data(), pkg.size());
        const std::wstring served = HostPath(www) + L"\\e2e\\";
        CreateDirectoryW(served.c_str(), nullptr);
        std::ofstream(std::filesystem::path(served + L"package.zip"), std::ios::binary) << pkg;
        m_base = "http://127.0.0.1:" + port;
        m_tlsBase = "https://127.0.0.1:" + Env("ZPV_HTTPS_PORT");
    }
    void TearDown() override {
        KillClientAndWait();
        RemoveTree(m_root);
    }
    std::wstring Args(const std::string& path, int forced, const std::string& md5 = "") const {
        return ArgsFrom(m_base, path, forced, md5);
    }
    std::wstring ArgsFrom(const std::string& base, const std::string& path, int forced, const std::string& md5 = "") const {
        const std::string a = "-url=" + base + path + " -md5=" + (md5.empty() ? m_md5 : md5) +
                              " -pagecallparam=\"class 42\" -forcedupdate=" + std::to_string(forced);
        return std::wstring(a.begin(), a.end());
    }
    void StartUpdater(Process& p, const std::wstring& args) {
        ASSERT_TRUE(Start(p, m_updaterDir + L"ZPVUpdate.exe", args)) << "CreateProcess error " << GetLastError();
    }

    // The forced update from base: the question, the client stopped, the package installed and
    // the launcher started again.
    void ForcedUpdateFrom(const std::string& base);

    std::wstring m_root, m_client, m_launcherDir, m_updaterDir;
    std::string m_base, m_tlsBase, m_md5;
};
}  // namespace

TEST_F(UpdateRun, ForcedUpdateStopsTheClientInstallsAndRelaunches) { ForcedUpdateFrom(m_base); }

// The same from an https:// address, through the system's TLS with the test root among the
// prefix's trusted roots.
TEST_F(UpdateRun, ForcedUpdateFromAnHttpsAddress) {
    ASSERT_NE(m_tlsBase, "https://127.0.0.1:") << "nginx's TLS port is not set (ZPV_HTTPS_PORT)";
    ForcedUpdateFrom(m_tlsBase);
}

void UpdateRun::ForcedUpdateFrom(const std::string& base) {
    const std::wstring logFile = m_root + L"support logs\\update.log";   // a folder still to make
    Process client;
    ASSERT_TRUE(CopyTo(ExeDir() + L"fake_client.exe", m_root + L"bin\\zpvclient.exe"));
    ASSERT_TRUE(Start(client, m_root + L"bin\\zpvclient.exe", L"window"));
    HWND clientWnd = WaitWindow(L"veltaro", client.id, 10000);
    ASSERT_NE(clientWnd, nullptr);

    Process updater;
    const std::wstring args = ArgsFrom(base, "/e2e/package.zip", 1) + L" -logfile=\"" + logFile + L"\"";
    StartUpdater(updater, args);
    HWND box = WaitWindow(kTipsClass, updater.id, 20000);
    ASSERT_NE(box, nullptr) << "no confirmation box";
    EXPECT_EQ(GetWindow(box, GW_OWNER), clientWnd);   // owned by the client's window
    EXPECT_EQ(client.Wait(0), STILL_ACTIVE);           // the client runs until the box is answered
    Key(box, VK_RETURN);
    EXPECT_EQ(client.Wait(10000), 9u);                 // stopped with exit code 9

    HWND wnd = WaitWindow(kUpdaterClass, updater.id, 10000);
    ASSERT_NE(wnd, nullptr);
    // Created visible at the default place, then hidden, placed and shown again.
    EXPECT_TRUE(WaitFor([&] { return PlacedLowerRight(wnd); }, 10000));

    HWND launch = WaitWindow(kLaunchClass, updater.id, 60000);
    ASSERT_NE(launch, nullptr) << "no launch window";
    // Extracted two levels above the updater's folder before the launch window shows.
    EXPECT_EQ(ReadFile(m_client + L"Veltaro\\version.txt"), "2.0.0\n");
    EXPECT_TRUE(Exists(m_client + L"Veltaro\\bin\\data.bin"));
    EXPECT_TRUE(Exists(m_client + L"Veltaro\\res\\\u6559\u5ba4.txt"));
    EXPECT_FALSE(Exists(m_launcherDir + L"launch.txt"));   // the launcher starts after the window
    Key(launch, VK_RETURN);
    EXPECT_EQ(updater.Wait(20000), 0u);
    ASSERT_TRUE(WaitFor([&] { return Exists(m_launcherDir + L"launch.txt"); }, 5000));
    EXPECT_NE(Utf16FileAsAscii(m_launcherDir + L"launch.txt").find("class 42"), std::string::npos);

    const std::string log = ReadFile(logFile);
    EXPECT_EQ(log.find("] run begins: ZPVUpdate "), log.find("] ")) << log;
    EXPECT_NE(log.find(", command line: " + std::string(args.begin(), args.end()) + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("] install success\n"), std::string::npos);   // the debugger output's lines
    EXPECT_EQ(RunEnd(log), "installed\n");
}

TEST_F(UpdateRun, OptionalUpdateInstallButtonRelaunchesWithoutExtracting) {
    Process updater;
    StartUpdater(updater, Args("/e2e/package.zip", 0));
    HWND wnd = WaitWindow(kUpdaterClass, updater.id, 20000);
    ASSERT_NE(wnd, nullptr);
    ASSERT_TRUE(WaitFor([&] { return Exists(m_updaterDir + L"update.zip"); }, 30000));
    ASSERT_TRUE(WaitFor([&] { return ReadyStateShown(wnd); }, 10000));   // the next progress tick
    Click(wnd, kInstallButton);
    HWND launch = WaitWindow(kLaunchClass, updater.id, 10000);
    ASSERT_NE(launch, nullptr);
    Click(launch, POINT{40, 80});   // the launch button ends the window too
    EXPECT_EQ(updater.Wait(20000), 0u);
    EXPECT_TRUE(WaitFor([&] { return Exists(m_launcherDir + L"launch.txt"); }, 5000));
    EXPECT_FALSE(Exists(m_client + L"Veltaro\\version.txt"));   // installed at the client's next start
    EXPECT_TRUE(Exists(m_updaterDir + L"update.zip"));
}

TEST_F(UpdateRun, OptionalUpdateCloseAfterSuccessKeepsThePackage) {
    Process updater;
    StartUpdater(updater, Args("/e2e/package.zip", 0));
    HWND wnd = WaitWindow(kUpdaterClass, updater.id, 20000);
    ASSERT_NE(wnd, nullptr);
    ASSERT_TRUE(WaitFor([&] { return Exists(m_updaterDir + L"update.zip"); }, 30000));
    ASSERT_TRUE(WaitFor([&] { return ReadyStateShown(wnd); }, 10000));
    Click(wnd, kCloseButton);
    EXPECT_EQ(updater.Wait(10000), 0u);
    EXPECT_TRUE(Exists(m_updaterDir + L"update.zip"));
    EXPECT_FALSE(Exists(m_launcherDir + L"launch.txt"));
    EXPECT_FALSE(Exists(m_client + L"Veltaro\\version.txt"));
}

TEST_F(UpdateRun, SkipDuringTheDownloadEndsPromptlyAndProgressFollows) {
    Process updater;
    StartUpdater(updater, Args("/slow/e2e/package.zip", 0));
    HWND wnd = WaitWindow(kUpdaterClass, updater.id, 20000);
    ASSERT_NE(wnd, nullptr);
    ASSERT_TRUE(WaitFor([&] { return ProgressFill(wnd) > 0; }, 20000));
    const int early = ProgressFill(wnd);
    EXPECT_TRUE(WaitFor([&] { return ProgressFill(wnd) > early; }, 10000));   // the bar follows the download
    const int later = ProgressFill(wnd);
    EXPECT_LT(later, kProgressWidth);
    Click(wnd, kSkipButton);
    const DWORD t0 = GetTickCount();
    EXPECT_EQ(updater.Wait(10000), 0u);
    EXPECT_LT(GetTickCount() - t0, 5000u);   // the download threads end promptly
    EXPECT_FALSE(Exists(m_updaterDir + L"update.zip"));
}

TEST_F(UpdateRun, EscapeEnterAndAltF4EndTheRunAtAnyTime) {
    const UINT kinds[] = {VK_ESCAPE, VK_RETURN, 0};
    for (UINT kind : kinds) {
        Process updater;
        StartUpdater(updater, Args("/slow/e2e/package.zip", 0));
        HWND wnd = WaitWindow(kUpdaterClass, updater.id, 20000);
        ASSERT_NE(wnd, nullptr);
        ASSERT_TRUE(WaitFor([&] { return Exists(m_updaterDir + L"update.td0"); }, 20000));   // downloading
        if (kind) Key(wnd, kind);
        else PostMessageW(wnd, WM_SYSCOMMAND, SC_CLOSE, 0);   // what Alt+F4 produces
        EXPECT_EQ(updater.Wait(10000), 0u) << "key " << kind;
    }
}

TEST_F(UpdateRun, FinalFailureWidensTheWindowAndOffersTheDownloadPage) {
    // The shell's open verb for http goes to a recorder for the duration of the test.
    const std::wstring recorder = m_root + L"openurl.exe", record = m_root + L"openurl.txt";
    ASSERT_TRUE(CopyTo(ExeDir() + L"fake_client.exe", recorder));
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, L"http\\shell\\open\\command", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
    wchar_t old[1024] = L"";
    DWORD oldSize = sizeof(old);
    RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(old), &oldSize);
    const std::wstring cmd = L"\"" + recorder + L"\" record=" + record + L" %1";
    RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(cmd.c_str()), static_cast<DWORD>((cmd.size() + 1) * 2));

    // The log file as IT staff switch it on, for every start of the updater.
    const std::wstring logFile = m_root + L"env.log";
    SetEnvironmentVariableW(L"ZPVUPDATE_LOG", logFile.c_str());
    Process updater;
    StartUpdater(updater, Args("/e2e/missing.zip", 0));
    SetEnvironmentVariableW(L"ZPVUPDATE_LOG", nullptr);
    HWND wnd = WaitWindow(kUpdaterClass, updater.id, 20000);
    ASSERT_NE(wnd, nullptr);
    // The window is created visible at the default place, then hidden, placed and shown again:
    // its place counts once it stands in the lower right corner.
    ASSERT_TRUE(WaitFor([&] { return IsWindowVisible(wnd) != FALSE && PlacedLowerRight(wnd); }, 20000));
    RECT before;
    GetWindowRect(wnd, &before);
    EXPECT_EQ(before.right - before.left, 310);
    EXPECT_TRUE(WaitFor([&] { RECT r; GetWindowRect(wnd, &r); return r.right - r.left == 360; }, 15000))
        << "the window widens once the second attempt failed";
    RECT after;
    GetWindowRect(wnd, &after);
    EXPECT_EQ(after.right, before.right);   // it grows to the left
    HWND box = WaitWindow(kTipsClass, updater.id, 60000);
    ASSERT_NE(box, nullptr) << "no failure box after ten attempts";
    Key(box, VK_RETURN);
    EXPECT_EQ(updater.Wait(20000), 0u);
    EXPECT_TRUE(WaitFor([&] { return Exists(record); }, 10000));
    const std::string opened = Utf16FileAsAscii(record);
    EXPECT_NE(opened.find("/static/windows"), std::string::npos) << opened;
    const std::string log = ReadFile(logFile);
    EXPECT_NE(log.find("] run begins: ZPVUpdate "), std::string::npos) << log;
    EXPECT_NE(log.find("/e2e/missing.zip -md5=" + m_md5), std::string::npos) << log;
    EXPECT_NE(log.find("attempt 10 of 10"), std::string::npos) << log;   // each attempt's WARN line
    const std::string end = RunEnd(log);
    EXPECT_EQ(end.rfind("download failed: ", 0), 0u) << end;
    EXPECT_GT(end.size(), std::string("download failed: \n").size()) << "the cause is named";

    RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(old), oldSize);
    RegCloseKey(key);
}

// A verified package the extractor refuses: the failure box at once (no minute of retries), no
// "update complete" window, the old client started again, and the log file names the refusal.
TEST_F(UpdateRun, ForcedUpdateOfARefusedPackageShowsOnlyTheFailureBoxAndRelaunches) {
    const std::string refused = "PK\x03\x04 not an archive";
    std::ofstream(std::filesystem::path(HostPath(Env("ZPV_WWW")) + L"\\e2e\\refused.zip"), std::ios::binary) << refused;
    const std::wstring logFile = m_root + L"update.log";
    Process updater;
    // Forced without the question (only the value 1 asks).
    StartUpdater(updater, Args("/e2e/refused.zip", 2, MD5Hex(refused.data(), refused.size())) + L" -logfile=\"" + logFile + L"\"");
    HWND box = WaitWindow(kTipsClass, updater.id, 30000);
    ASSERT_NE(box, nullptr) << "no failure box within 30 s";
    bool launchWindow = false;
    WaitFor([&] { return IsWindowVisible(box) != FALSE; }, 5000);
    Key(box, VK_ESCAPE);
    WaitFor([&] {
        if (HWND w = FindProcessWindow(kLaunchClass, updater.id)) {
            launchWindow = true;
            Key(w, VK_RETURN);
        }
        return updater.Wait(0) != STILL_ACTIVE;
    }, 20000);
    EXPECT_EQ(updater.Wait(0), 0u);
    EXPECT_FALSE(launchWindow) << "\"update complete\" shown after the failure box";
    EXPECT_TRUE(WaitFor([&] { return Exists(m_launcherDir + L"launch.txt"); }, 5000));
    EXPECT_FALSE(Exists(m_client + L"Veltaro\\version.txt"));
    EXPECT_EQ(RunEnd(ReadFile(logFile)), "installation failed: extractor status 3 (not a zip archive, or its directory is malformed)\n");
}
