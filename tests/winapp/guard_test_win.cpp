#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/updater_app.h"
#include "tests/support/support_win.h"

using namespace wintest;

namespace {
const DWORD kExitFailure = static_cast<DWORD>(-1);

// The updater copied into D\P\V\U\ so that its derived folders are known.
class Updater : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = MakeTempDir(L"guard");
        m_dir = m_root + L"P\\V\\U\\";
        m_exe = m_dir + L"ZPVUpdate.exe";
        ASSERT_TRUE(CopyTo(ExeDir() + L"ZPVUpdate.exe", m_exe));
        CopyTo(ExeDir() + L"zlib.dll", m_dir + L"zlib.dll");
    }
    void TearDown() override { RemoveTree(m_root); }
    std::wstring m_root, m_dir, m_exe;
};

// Runs the updater under a debugger and collects what it writes to the debugger output.
DWORD RunCollectingDebugOutput(const std::wstring& exe, const std::wstring& args, std::vector<std::string>& out) {
    Process p;
    if (!Start(p, exe, args, DEBUG_ONLY_THIS_PROCESS)) return 0xDEAD;
    DWORD exitCode = 0xDEAD;
    for (bool done = false; !done;) {
        DEBUG_EVENT ev{};
        if (!WaitForDebugEvent(&ev, 30000)) break;
        DWORD cont = DBG_CONTINUE;
        switch (ev.dwDebugEventCode) {
            case OUTPUT_DEBUG_STRING_EVENT: {
                const auto& s = ev.u.DebugString;
                std::string text(s.nDebugStringLength, '\0');
                SIZE_T read = 0;
                ReadProcessMemory(p.handle, s.lpDebugStringData, &text[0], text.size(), &read);
                text.resize(read);
                while (!text.empty() && text.back() == '\0') text.pop_back();
                out.push_back(text);
                // The description is logged first; the rest of the run is not needed here.
                if (text.find("clientExePath: ") != std::string::npos) TerminateProcess(p.handle, 0);
                break;
            }
            case CREATE_PROCESS_DEBUG_EVENT:
                if (ev.u.CreateProcessInfo.hFile) CloseHandle(ev.u.CreateProcessInfo.hFile);
                break;
            case LOAD_DLL_DEBUG_EVENT:
                if (ev.u.LoadDll.hFile) CloseHandle(ev.u.LoadDll.hFile);
                break;
            case EXCEPTION_DEBUG_EVENT:
                if (ev.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) cont = DBG_EXCEPTION_NOT_HANDLED;
                break;
            case EXIT_PROCESS_DEBUG_EVENT:
                exitCode = ev.u.ExitProcess.dwExitCode;
                done = true;
                break;
        }
        ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, cont);
    }
    return exitCode;
}
}  // namespace

TEST_F(Updater, NoArgumentsExitsWithMinusOne) {
    Process p;
    ASSERT_TRUE(Start(p, m_exe, L""));
    EXPECT_EQ(p.Wait(20000), kExitFailure);
}

TEST_F(Updater, SecondUpdaterIsRefusedAtOnceWhileTheGuardIsHeld) {
    HANDLE guard = CreateMutexW(nullptr, TRUE, kGuardMutexName);
    ASSERT_NE(guard, nullptr);
    Process p;
    const DWORD t0 = GetTickCount();
    ASSERT_TRUE(Start(p, m_exe, L"-url=http://127.0.0.1:9/none.zip"));
    EXPECT_EQ(p.Wait(8000), kExitFailure);
    EXPECT_LT(GetTickCount() - t0, 8000u);
    // The holder keeps its guard.
    EXPECT_EQ(WaitForSingleObject(guard, 0), WAIT_OBJECT_0);
    ReleaseMutex(guard);
    ReleaseMutex(guard);
    CloseHandle(guard);
}

TEST_F(Updater, WaitsForTheStartupGateThenGivesUp) {
    HANDLE gate = CreateMutexW(nullptr, TRUE, kStartupGateName);
    ASSERT_NE(gate, nullptr);
    Process p;
    const DWORD t0 = GetTickCount();
    ASSERT_TRUE(Start(p, m_exe, L"-url=http://127.0.0.1:9/none.zip"));
    EXPECT_EQ(p.Wait(9000), STILL_ACTIVE);   // still waiting for the gate
    EXPECT_EQ(p.Wait(20000), kExitFailure);
    EXPECT_GE(GetTickCount() - t0, 9900u);
    ReleaseMutex(gate);
    CloseHandle(gate);
}

TEST_F(Updater, LogsThePackageDescriptionToTheDebugger) {
    std::vector<std::string> lines;
    const DWORD code = RunCollectingDebugOutput(m_exe, L"-url=http://127.0.0.1:9/a/b.zip -md5=ABC", lines);
    std::string all;
    for (auto& l : lines) all += l;
    auto narrow = [](const std::wstring& w) { return std::string(w.begin(), w.end()); };
    EXPECT_NE(all.find("[ZPV][T]["), std::string::npos) << all;
    EXPECT_NE(all.find("] zipPath: " + narrow(m_dir) + "update.zip\n"), std::string::npos) << all;
    EXPECT_NE(all.find("] zipMd5: ABC\n"), std::string::npos) << all;
    EXPECT_NE(all.find("] clientDic: \"" + narrow(m_root + L"P\\") + "\"\n"), std::string::npos) << all;
    EXPECT_NE(all.find("] clientExePath: \"" + narrow(m_root + L"P\\V\\ZPVLaunch.exe") + "\"\n"), std::string::npos) << all;
    // The collector ended the run itself once the description was out (exit code 0), rather
    // than giving up on a silent debuggee (0xDEAD).
    EXPECT_EQ(code, 0u);
}
