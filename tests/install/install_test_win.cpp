// The installation's failure paths with real windows: the boxes are answered from a second
// thread, the client stand-in is the test helper program.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "SkinUI/skin_settings.h"
#include "app/core/process_op.h"
#include "app/install.h"
#include "extract/extract_status.h"
#include "log/rklog.h"
#include "tests/support/support.h"
#include "tests/support/support_win.h"

using namespace wintest;

namespace {
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
        InstallTimings t;
        t.clientStopGiveUpMs = kClientGiveUpMs;
        t.installGiveUpMs = kInstallGiveUpMs;
        t.installRetryPauseMs = 200;
        m_timings.emplace(settings::installTimings, t);
    }
    void TearDown() override {
        m_timings.reset();
        KillClientAndWait();
        RemoveTree(m_root);
    }
    bool Launched() {
        return WaitFor(
            [&] { return GetFileAttributesW((m_root + L"V\\launch.txt").c_str()) != INVALID_FILE_ATTRIBUTES; }, 5000);
    }
    // Shortened from the product's 30 s and 60 s, so the failure paths take seconds.
    static constexpr DWORD kClientGiveUpMs = 3000;
    static constexpr DWORD kInstallGiveUpMs = 4000;
    std::wstring m_root;
    ZipConf m_conf;
    std::optional<Setting<InstallTimings>::Override> m_timings;
    zpvtest::LogCapture m_log;
};
}  // namespace

TEST_F(Install, AClientThatKeepsComingBackIsGivenUpOnAndTheLauncherStillStarts) {
    // Someone restarts the client as soon as it is stopped.
    auto respawner = std::make_unique<Respawner>(m_root + L"bin\\zpvclient.exe");
    ASSERT_NE(FindProcess_ByName(kClientImageName), 0u);
    WindowAnswerer answerer(VK_ESCAPE);
    const DWORD t0 = GetTickCount();
    const InstallResult result = InstallPackage(m_conf);
    const DWORD elapsed = GetTickCount() - t0;
    respawner.reset();

    EXPECT_GE(elapsed, kClientGiveUpMs);
    EXPECT_LT(elapsed, kClientGiveUpMs + 15000);   // bounded
    EXPECT_EQ(answerer.boxes, 1);
    EXPECT_EQ(answerer.launches, 0);   // no "update complete" after the failure box
    EXPECT_TRUE(Launched());           // the old client goes on
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.failure, "the client could not be stopped");
    EXPECT_TRUE(zpvtest::LogCapture::Has("Qvo is running"));
    EXPECT_TRUE(zpvtest::LogCapture::Has("client could not be stopped"));
    EXPECT_FALSE(zpvtest::LogCapture::Has("install success"));
    // Nothing was unpacked over a running client.
    EXPECT_EQ(GetFileAttributesW((m_root + L"Veltaro\\version.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Install, AFolderThatCannotBeMadeEndsInTheFailureBoxAfterTheGiveUpTime) {
    m_conf.clientDic = L"Q:\\no\\such\\drive\\";   // no drive Q: in the test prefix
    WindowAnswerer answerer(VK_ESCAPE);
    const DWORD t0 = GetTickCount();
    const InstallResult result = InstallPackage(m_conf);
    const DWORD elapsed = GetTickCount() - t0;
    EXPECT_GE(elapsed, kInstallGiveUpMs);   // a folder may become creatable: retried
    EXPECT_LT(elapsed, kInstallGiveUpMs + 15000);
    EXPECT_EQ(answerer.boxes, 1);
    EXPECT_EQ(answerer.launches, 0);
    EXPECT_TRUE(Launched());
    EXPECT_EQ(result.failure, "the extraction folder cannot be made");
    EXPECT_TRUE(zpvtest::LogCapture::Has("update install failed"));
    EXPECT_TRUE(zpvtest::LogCapture::Has("zipName: "));
    EXPECT_TRUE(zpvtest::LogCapture::Has("folder: Q:\\no\\such\\drive\\"));
    EXPECT_FALSE(zpvtest::LogCapture::Has("install success"));
}

TEST_F(Install, OptionalUpdateUnpacksNothingAndLaunchesWithTheParameters) {
    m_conf.forcedUpdate = 0;
    WindowAnswerer answerer(VK_RETURN);
    EXPECT_TRUE(InstallPackage(m_conf).ok);
    EXPECT_EQ(answerer.boxes, 0);
    EXPECT_EQ(answerer.launches, 1);
    ASSERT_TRUE(Launched());
    EXPECT_TRUE(zpvtest::LogCapture::Has("install success"));
    EXPECT_EQ(GetFileAttributesW((m_root + L"Veltaro\\version.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Install, OptionalUpdateWithAClientThatCannotBeStoppedLaunchesWithoutTheFailureBox) {
    m_conf.forcedUpdate = 0;
    Respawner respawner(m_root + L"bin\\zpvclient.exe");
    ASSERT_NE(FindProcess_ByName(kClientImageName), 0u);
    WindowAnswerer answerer(VK_ESCAPE);
    EXPECT_FALSE(InstallPackage(m_conf).ok);
    EXPECT_EQ(answerer.boxes, 0);
    EXPECT_EQ(answerer.launches, 0);   // nothing was completed
    EXPECT_TRUE(Launched());
    EXPECT_TRUE(zpvtest::LogCapture::HasLine('E', "client could not be stopped"));
    EXPECT_FALSE(zpvtest::LogCapture::Has("install success"));
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
    const InstallResult result = InstallPackage(m_conf);
    const DWORD elapsed = GetTickCount() - t0;
    EXPECT_LT(elapsed, kInstallGiveUpMs);   // the same bytes are refused every time: no retries
    EXPECT_EQ(answerer.boxes, 1);
    EXPECT_EQ(answerer.launches, 0);
    EXPECT_TRUE(Launched());
    EXPECT_EQ(result.failure, "extractor status 3 (not a zip archive, or its directory is malformed)");
    EXPECT_TRUE(zpvtest::LogCapture::HasLine('E', "update install failed"));
    EXPECT_TRUE(zpvtest::LogCapture::HasLine('E', "zipName: "));
    EXPECT_TRUE(zpvtest::LogCapture::HasLine('E', "folder: "));
    EXPECT_TRUE(zpvtest::LogCapture::HasLine('W', "extraction failed with status 3"));
    EXPECT_FALSE(zpvtest::LogCapture::Has("install success"));
    EXPECT_EQ(GetFileAttributesW((m_root + L"Veltaro\\version.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

// What may pass if the same package is tried again a little later, and what the package itself
// (or a state only a person changes) decides once and for all.
TEST(InstallRetry, OnlyWhatCanChangeIsRetried) {
    const struct {
        int status;
        bool mayPass;
    } cases[] = {
        {ZPV_EXTRACT_FILE_LOCKED, true},     {ZPV_EXTRACT_TARGET_UNUSABLE, true}, {ZPV_EXTRACT_BUSY, true},
        {ZPV_EXTRACT_ROLLBACK_INCOMPLETE, true}, {ZPV_EXTRACT_ARCHIVE_UNREADABLE, true},
        {ZPV_EXTRACT_UNSUPPORTED, false},    {ZPV_EXTRACT_CRC_MISMATCH, false},   {ZPV_EXTRACT_UNSAFE_PATH, false},
        {ZPV_EXTRACT_NOT_AN_ARCHIVE, false}, {ZPV_EXTRACT_TRUNCATED, false},      {ZPV_EXTRACT_TARGET_CONFLICT, false},
        {ZPV_EXTRACT_FOREIGN_WORK, false},
    };
    for (const auto& c : cases) EXPECT_EQ(ExtractStatusMayPass(c.status), c.mayPass) << "status " << c.status;
}
