#include <gtest/gtest.h>

#include "app/core/process_op.h"
#include "tests/support/support_win.h"

using namespace wintest;

namespace {
class ClientProcess : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = MakeTempDir(L"proc");
        ASSERT_EQ(FindProcess_ByName(kClientImageName), 0u) << "a client is already running";
    }
    void TearDown() override {
        KillClientAndWait();
        RemoveTree(m_dir);
    }
    // Starts the stand-in under the given image name and waits until the process list has it.
    void StartAs(Process& p, const std::wstring& name) {
        const std::wstring exe = m_dir + name;
        ASSERT_TRUE(CopyTo(ExeDir() + L"fake_client.exe", exe));
        ASSERT_TRUE(Start(p, exe, L""));
        const std::string narrow(name.begin(), name.end());
        ASSERT_TRUE(WaitFor([&] { return FindProcess_ByName(narrow) == p.id; }, 10000));
    }
    std::wstring m_dir;
};
}  // namespace

TEST_F(ClientProcess, NothingRunning) {
    EXPECT_FALSE(KillClient());
    const DWORD t0 = GetTickCount();
    EXPECT_TRUE(KillClientAndWait());
    EXPECT_LT(GetTickCount() - t0, 100u);   // no waiting when nothing was terminated
}

TEST_F(ClientProcess, FoundInAnyAsciiCaseAndTerminatedWithCode9) {
    Process p;
    StartAs(p, L"ZPVCLIENT.EXE");
    EXPECT_EQ(FindProcess_ByName("zpvclient.exe"), p.id);
    EXPECT_EQ(FindProcess_ByName("ZpvClient.Exe"), p.id);
    const DWORD t0 = GetTickCount();
    EXPECT_TRUE(KillClientAndWait());
    EXPECT_LT(GetTickCount() - t0, 2500u);   // the wait ends as soon as the client is gone
    EXPECT_EQ(p.Wait(1000), 9u);
    EXPECT_EQ(FindProcess_ByName(kClientImageName), 0u);
}

TEST_F(ClientProcess, NamesMustMatchInFullLength) {
    Process bak, prefixed;
    StartAs(bak, L"zpvclient.exe.bak");
    StartAs(prefixed, L"xzpvclient.exe");
    EXPECT_EQ(FindProcess_ByName(kClientImageName), 0u);
    EXPECT_FALSE(KillClient());
    EXPECT_EQ(bak.Wait(0), STILL_ACTIVE);
    EXPECT_EQ(prefixed.Wait(0), STILL_ACTIVE);
    EXPECT_EQ(FindProcess_ByName("zpvclient.exe.bak"), bak.id);
}

TEST_F(ClientProcess, KillClientStopsOneClient) {
    Process p;
    StartAs(p, L"zpvclient.exe");
    EXPECT_TRUE(KillClient());
    EXPECT_EQ(p.Wait(3000), 9u);
}

TEST(ModuleDir, IsTheExecutablesFolderWithBackslash) {
    const std::wstring dir = GetModuleDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), L'\\');
    EXPECT_EQ(dir, ExeDir());
}
