// The installation's failure paths with real windows: the boxes are answered from a second
// thread, the client stand-in is the test helper program.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SkinUI/skin_settings.h"
#include "app/core/process_op.h"
#include "app/install.h"
#include "log/rklog.h"
#include "tools/testkit/win_test_util.h"

using namespace wintest;

namespace {
std::mutex g_logMutex;
std::string g_log;
void CaptureLog(const char* text) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log += text;
}

// True when a captured line of the given level letter contains the text.
bool Logged(char level, const std::string& text) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    const std::string tag = std::string("][") + level + "][";
    for (std::size_t pos = 0; pos < g_log.size();) {
        std::size_t end = g_log.find('\n', pos);
        if (end == std::string::npos) end = g_log.size();
        const std::string line = g_log.substr(pos, end - pos);
        if (line.find(tag) != std::string::npos && line.find(text) != std::string::npos) return true;
        pos = end + 1;
    }
    return false;
}

// Answers the windows this process shows: the failure box with the given key, the launch
// window with Enter; records which came up.
class WindowAnswerer {
public:
    explicit WindowAnswerer(WPARAM boxKey) : m_boxKey(boxKey), m_thread([this] { Loop(); }) {}
    ~WindowAnswerer() {
        m_stop = true;
        m_thread.join();
    }
    std::atomic<int> boxes{0}, launches{0};

private:
    void Loop() {
        while (!m_stop) {
            if (HWND box = FindProcessWindow(L"zpv_updater_tips_wnd_class_name", GetCurrentProcessId())) {
                Answer(box, m_boxKey, boxes);
            }
            if (HWND launch = FindProcessWindow(L"zpv_updater_launch_wnd_class_name", GetCurrentProcessId())) {
                Answer(launch, VK_RETURN, launches);
            }
            Sleep(50);
        }
    }
    // The key once the window is shown (its modal loop runs); then waits until it is gone, so
    // that one window is answered and counted once.
    static void Answer(HWND wnd, WPARAM key, std::atomic<int>& answered) {
        WaitFor([&] { return IsWindowVisible(wnd) != FALSE || !IsWindow(wnd); }, 5000);
        ++answered;
        PostMessageW(wnd, WM_KEYDOWN, key, 1);
        WaitFor([&] { return !IsWindow(wnd) || !IsWindowVisible(wnd); }, 5000);
    }
    WPARAM m_boxKey;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Starts the client stand-in again as soon as it is gone, until destroyed.
class Respawner {
public:
    explicit Respawner(const std::wstring& exe) : m_exe(exe), m_thread([this] { Loop(); }) {
        for (int i = 0; i < 100 && FindProcess_ByName(kClientImageName) == 0; ++i) Sleep(100);
    }
    ~Respawner() {
        m_stop = true;
        m_thread.join();
    }

private:
    void Loop() {
        CopyTo(ExeDir() + L"fake_client.exe", m_exe);
        while (!m_stop) {
            if (FindProcess_ByName(kClientImageName) == 0) {
                Process p;
                if (Start(p, m_exe, L"")) p.handle = (CloseHandle(p.handle), nullptr);
            }
            Sleep(50);
        }
    }
    std::wstring m_exe;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class Install : public ::testing::Test {
protected:
    void SetUp() override {
        SkinUI::SetModuleInstance(GetModuleHandleW(nullptr));
        m_root = MakeTempDir(L"install");
        ASSERT_TRUE(CopyTo(ExeDir() + L"fake_client.exe", m_root + L"V\\ZPVLaunch.exe"));
        ASSERT_TRUE(CopyTo(ExeDir() + L"e2e-package.zip", m_root + L"V\\U\\update.zip"));
        m_conf.zipPath = m_root + L"V\\U\\update.zip";
        m_conf.clientDic = m_root;
        m_conf.clientExePath = m_root + L"V\\ZPVLaunch.exe";
        m_conf.launchClient = true;
        m_conf.pageCallParam = "p1 p2";
        m_conf.forcedUpdate = 1;
        g_log.clear();
        rklog::SetDebugOutput(&CaptureLog);
        m_saved = GetInstallTimings();
        InstallTimings t = m_saved;
        t.clientStopGiveUpMs = kClientGiveUpMs;
        t.installGiveUpMs = kInstallGiveUpMs;
        t.installRetryPauseMs = 200;
        SetInstallTimings(t);
    }
    void TearDown() override {
        SetInstallTimings(m_saved);
        rklog::SetDebugOutput(nullptr);
        KillClientAndWait();
        RemoveTree(m_root);
    }
    bool Launched() {
        for (int i = 0; i < 50; ++i, Sleep(100))
            if (GetFileAttributesW((m_root + L"V\\launch.txt").c_str()) != INVALID_FILE_ATTRIBUTES) return true;
        return false;
    }
    // Shortened from the product's 30 s and 60 s, so the failure paths take seconds.
    static constexpr DWORD kClientGiveUpMs = 3000;
    static constexpr DWORD kInstallGiveUpMs = 4000;
    std::wstring m_root;
    ZipConf m_conf;
    InstallTimings m_saved;
};
}  // namespace

TEST_F(Install, AClientThatKeepsComingBackIsGivenUpOnAndTheLauncherStillStarts) {
    // Someone restarts the client as soon as it is stopped.
    auto respawner = std::make_unique<Respawner>(m_root + L"bin\\zpvclient.exe");
    ASSERT_NE(FindProcess_ByName(kClientImageName), 0u);
    WindowAnswerer answerer(VK_ESCAPE);
    const DWORD t0 = GetTickCount();
    InstallPackage(m_conf);
    const DWORD elapsed = GetTickCount() - t0;
    respawner.reset();

    EXPECT_GE(elapsed, kClientGiveUpMs);
    EXPECT_LT(elapsed, kClientGiveUpMs + 15000);   // bounded
    EXPECT_EQ(answerer.boxes, 1);
    EXPECT_EQ(answerer.launches, 1);
    EXPECT_TRUE(Launched());
    EXPECT_NE(g_log.find("Qvo is running"), std::string::npos);
    EXPECT_NE(g_log.find("client could not be stopped"), std::string::npos);
    EXPECT_EQ(g_log.find("install success"), std::string::npos);
    // Nothing was unpacked over a running client.
    EXPECT_EQ(GetFileAttributesW((m_root + L"Veltaro\\version.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Install, AFolderThatCannotBeMadeEndsInTheFailureBoxAfterTheGiveUpTime) {
    m_conf.clientDic = L"Q:\\no\\such\\drive\\";   // no drive Q: in the test prefix
    WindowAnswerer answerer(VK_ESCAPE);
    const DWORD t0 = GetTickCount();
    InstallPackage(m_conf);
    const DWORD elapsed = GetTickCount() - t0;
    EXPECT_GE(elapsed, kInstallGiveUpMs);
    EXPECT_LT(elapsed, kInstallGiveUpMs + 15000);
    EXPECT_EQ(answerer.boxes, 1);
    EXPECT_EQ(answerer.launches, 1);
    EXPECT_TRUE(Launched());
    EXPECT_NE(g_log.find("update install failed"), std::string::npos);
    EXPECT_NE(g_log.find("zipName: "), std::string::npos);
    EXPECT_NE(g_log.find("folder: Q:\\no\\such\\drive\\"), std::string::npos);
    EXPECT_EQ(g_log.find("install success"), std::string::npos);
}

TEST_F(Install, OptionalUpdateUnpacksNothingAndLaunchesWithTheParameters) {
    m_conf.forcedUpdate = 0;
    WindowAnswerer answerer(VK_RETURN);
    InstallPackage(m_conf);
    EXPECT_EQ(answerer.boxes, 0);
    EXPECT_EQ(answerer.launches, 1);
    ASSERT_TRUE(Launched());
    EXPECT_NE(g_log.find("install success"), std::string::npos);
    EXPECT_EQ(GetFileAttributesW((m_root + L"Veltaro\\version.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Install, OptionalUpdateWithAClientThatCannotBeStoppedLaunchesWithoutTheFailureBox) {
    m_conf.forcedUpdate = 0;
    Respawner respawner(m_root + L"bin\\zpvclient.exe");
    ASSERT_NE(FindProcess_ByName(kClientImageName), 0u);
    WindowAnswerer answerer(VK_ESCAPE);
    InstallPackage(m_conf);
    EXPECT_EQ(answerer.boxes, 0);
    EXPECT_EQ(answerer.launches, 1);
    EXPECT_TRUE(Launched());
    EXPECT_TRUE(Logged('E', "client could not be stopped"));
    EXPECT_EQ(g_log.find("install success"), std::string::npos);
}

TEST_F(Install, APackageTheExtractorRefusesIsAFailedInstallation) {
    // Verified by its digest, yet no archive the extractor accepts.
    HANDLE h = CreateFileW(m_conf.zipPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD done = 0;
    WriteFile(h, "PK\x03\x04 not an archive", 24, &done, nullptr);
    CloseHandle(h);
    WindowAnswerer answerer(VK_ESCAPE);
    const DWORD t0 = GetTickCount();
    InstallPackage(m_conf);
    const DWORD elapsed = GetTickCount() - t0;
    EXPECT_GE(elapsed, kInstallGiveUpMs);   // retried like a folder that cannot be made
    EXPECT_LT(elapsed, kInstallGiveUpMs + 15000);
    EXPECT_EQ(answerer.boxes, 1);
    EXPECT_EQ(answerer.launches, 1);
    EXPECT_TRUE(Launched());
    EXPECT_TRUE(Logged('E', "update install failed"));
    EXPECT_TRUE(Logged('E', "zipName: "));
    EXPECT_TRUE(Logged('E', "folder: "));
    EXPECT_TRUE(Logged('W', "extraction failed with status 3"));
    EXPECT_EQ(g_log.find("install success"), std::string::npos);
    EXPECT_EQ(GetFileAttributesW((m_root + L"Veltaro\\version.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}
