// The installation's failure paths with real windows: the boxes are answered from a second
// thread, the client stand-in is the test helper program.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SkinUI/skin_settings.h"
#include "app/install.h"
#include "app/process_op.h"
#include "log/rklog.h"
#include "win_test_util.h"

using namespace wintest;

namespace {
std::mutex g_logMutex;
std::string g_log;
void CaptureLog(const char* text) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log += text;
}

// Answers the windows this process shows: the failure box with the given key, the launch
// window with Enter; records which came up.
class WindowAnswerer {
public:
    explicit WindowAnswerer(WPARAM boxKey) : boxKey_(boxKey), thread_([this] { Loop(); }) {}
    ~WindowAnswerer() {
        stop_ = true;
        thread_.join();
    }
    std::atomic<int> boxes{0}, launches{0};

private:
    void Loop() {
        while (!stop_) {
            if (HWND box = FindProcessWindow(L"zpv_updater_tips_wnd_class_name", GetCurrentProcessId())) {
                Sleep(300);
                ++boxes;
                PostMessageW(box, WM_KEYDOWN, boxKey_, 1);
                Sleep(500);
            }
            if (HWND launch = FindProcessWindow(L"zpv_updater_launch_wnd_class_name", GetCurrentProcessId())) {
                Sleep(300);
                ++launches;
                PostMessageW(launch, WM_KEYDOWN, VK_RETURN, 1);
                Sleep(500);
            }
            Sleep(50);
        }
    }
    WPARAM boxKey_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class Install : public ::testing::Test {
protected:
    void SetUp() override {
        SkinUI::SetModuleInstance(GetModuleHandleW(nullptr));
        root_ = MakeTempDir(L"install");
        ASSERT_TRUE(CopyTo(ExeDir() + L"fake_client.exe", root_ + L"V\\ZPVLaunch.exe"));
        ASSERT_TRUE(CopyTo(ExeDir() + L"e2e-package.zip", root_ + L"V\\U\\update.zip"));
        conf_.zipPath = root_ + L"V\\U\\update.zip";
        conf_.clientDic = root_;
        conf_.clientExePath = root_ + L"V\\ZPVLaunch.exe";
        conf_.launchClient = true;
        conf_.pageCallParam = "p1 p2";
        conf_.forcedUpdate = 1;
        g_log.clear();
        rklog::SetDebugOutput(&CaptureLog);
    }
    void TearDown() override {
        rklog::SetDebugOutput(nullptr);
        KillClientAndWait();
        RemoveTree(root_);
    }
    bool Launched() {
        for (int i = 0; i < 50; ++i, Sleep(100))
            if (GetFileAttributesW((root_ + L"V\\launch.txt").c_str()) != INVALID_FILE_ATTRIBUTES) return true;
        return false;
    }
    std::wstring root_;
    ZipConf conf_;
};
}  // namespace

TEST_F(Install, AClientThatKeepsComingBackIsGivenUpOnAndTheLauncherStillStarts) {
    // Someone restarts the client as soon as it is stopped.
    std::atomic<bool> stop{false};
    std::thread respawner([&] {
        const std::wstring exe = root_ + L"bin\\zpvclient.exe";
        CopyTo(ExeDir() + L"fake_client.exe", exe);
        while (!stop) {
            if (FindProcess_ByName(kClientImageName) == 0) {
                Process p;
                if (Start(p, exe, L"")) p.handle = (CloseHandle(p.handle), nullptr);
            }
            Sleep(50);
        }
    });
    for (int i = 0; i < 100 && FindProcess_ByName(kClientImageName) == 0; ++i) Sleep(100);
    ASSERT_NE(FindProcess_ByName(kClientImageName), 0u);
    WindowAnswerer answerer(VK_ESCAPE);
    const DWORD t0 = GetTickCount();
    InstallPackage(conf_);
    const DWORD elapsed = GetTickCount() - t0;
    stop = true;
    respawner.join();

    EXPECT_GE(elapsed, 30000u);
    EXPECT_LT(elapsed, 60000u);   // bounded
    EXPECT_EQ(answerer.boxes, 1);
    EXPECT_EQ(answerer.launches, 1);
    EXPECT_TRUE(Launched());
    EXPECT_NE(g_log.find("Qvo is running"), std::string::npos);
    EXPECT_NE(g_log.find("client could not be stopped"), std::string::npos);
    EXPECT_EQ(g_log.find("install success"), std::string::npos);
    // Nothing was unpacked over a running client.
    EXPECT_EQ(GetFileAttributesW((root_ + L"Veltaro\\version.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Install, AFolderThatCannotBeMadeEndsInTheFailureBoxAfterAMinute) {
    conf_.clientDic = L"Q:\\no\\such\\drive\\";   // no drive Q: in the test prefix
    WindowAnswerer answerer(VK_ESCAPE);
    const DWORD t0 = GetTickCount();
    InstallPackage(conf_);
    const DWORD elapsed = GetTickCount() - t0;
    EXPECT_GE(elapsed, 60000u);
    EXPECT_LT(elapsed, 75000u);
    EXPECT_EQ(answerer.boxes, 1);
    EXPECT_EQ(answerer.launches, 1);
    EXPECT_TRUE(Launched());
    EXPECT_NE(g_log.find("update install failed"), std::string::npos);
    EXPECT_NE(g_log.find("zipName: "), std::string::npos);
    EXPECT_NE(g_log.find("folder: Q:\\no\\such\\drive\\"), std::string::npos);
    EXPECT_EQ(g_log.find("install success"), std::string::npos);
}

TEST_F(Install, OptionalUpdateUnpacksNothingAndLaunchesWithTheParameters) {
    conf_.forcedUpdate = 0;
    WindowAnswerer answerer(VK_RETURN);
    InstallPackage(conf_);
    EXPECT_EQ(answerer.boxes, 0);
    EXPECT_EQ(answerer.launches, 1);
    ASSERT_TRUE(Launched());
    EXPECT_NE(g_log.find("install success"), std::string::npos);
    EXPECT_EQ(GetFileAttributesW((root_ + L"Veltaro\\version.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}
