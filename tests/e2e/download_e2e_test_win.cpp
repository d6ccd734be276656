// The download side of the real updater under Wine: a folder whose name no ANSI code page can
// hold, and a name lookup that never gets an answer while the user closes the window.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <cstdio>
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
// The e2e_silent_lookup test entry mounts a private copy of resolv.conf holding this mark; the
// test writes its silent name server's address there.
const char kSilentMark[] = "# zpv-silent-lookup";
const wchar_t kResolvConf[] = L"Z:\\etc\\resolv.conf";
const char kSilentHost[] = "package.zpv-silent.test";

// UDP port 53 (resolv.conf takes no port) on a loopback address nothing else holds: another
// program, or another run of this test, may own any fixed one.
SOCKET BindFreeNameServer(std::string& address) {
    for (unsigned i = 0; i < 256; ++i) {
        const unsigned n = (static_cast<unsigned>(GetCurrentProcessId()) + i) % 65534 + 1;
        address = "127.84." + std::to_string(n >> 8) + "." + std::to_string(n & 255);
        SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(53);
        inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        if (s != INVALID_SOCKET && bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) return s;
        if (s != INVALID_SOCKET) closesocket(s);
    }
    return INVALID_SOCKET;
}

// True once a query reached the server within ms, i.e. a lookup is under way.
bool AwaitQuery(SOCKET server, long ms) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(server, &readable);
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    return select(0, &readable, nullptr, nullptr, &limit) == 1;
}

class DownloadRun : public ::testing::Test {
protected:
    // The updater in root\<clientName>\Veltaro\Updater\, the launcher stand-in beside Veltaro.
    void Prepare(const std::wstring& clientName) {
        ASSERT_EQ(FindProcess_ByName(kClientImageName), 0u) << "a client is already running";
        m_root = MakeTempDir(L"dl-e2e");
        m_client = m_root + clientName + L"\\";
        m_updaterDir = m_client + L"Veltaro\\Updater\\";
        ASSERT_TRUE(CopyTo(ExeDir() + L"ZPVUpdate.exe", m_updaterDir + L"ZPVUpdate.exe"));
        ASSERT_TRUE(CopyTo(ExeDir() + L"zlib.dll", m_updaterDir + L"zlib.dll"));
        ASSERT_TRUE(CopyTo(ExeDir() + L"fake_client.exe", m_client + L"Veltaro\\ZPVLaunch.exe"));
    }
    void TearDown() override {
        KillClientAndWait();
        if (!m_root.empty()) RemoveTree(m_root);
    }
    void StartUpdater(Process& p, const std::string& url, const std::string& md5, int forced) {
        const std::string a = "-url=" + url + " -md5=" + md5 + " -pagecallparam=\"class 42\" -forcedupdate=" +
                              std::to_string(forced);
        ASSERT_TRUE(Start(p, m_updaterDir + L"ZPVUpdate.exe", std::wstring(a.begin(), a.end())));
    }
    std::wstring m_root, m_client, m_updaterDir;
};
}  // namespace

// Chinese and a character beyond the Basic Multilingual Plane: with an English ANSI code page
// (as on a system whose non-Unicode language is English) the name has no narrow form.
TEST_F(DownloadRun, AnUpdaterFolderInAnyScriptDownloadsAndInstalls) {
    const std::wstring name = L"\u5ba2\u6237\u7aef \U0001F600 \u00dcbung";
    BOOL lossy = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name.c_str(), -1, nullptr, 0, nullptr, &lossy);
    ASSERT_TRUE(lossy) << "the ANSI code page " << GetACP() << " holds the folder name";
    const std::string port = Env("ZPV_HTTP_PORT"), www = Env("ZPV_WWW");
    ASSERT_FALSE(port.empty() || www.empty()) << "nginx must be started (tools/services.sh)";
    Prepare(name);
    const std::string pkg = ReadFile(ExeDir() + L"e2e-package.zip");
    ASSERT_FALSE(pkg.empty());
    const std::wstring served = HostPath(www) + L"\\e2e-any\\";
    CreateDirectoryW(served.c_str(), nullptr);
    std::ofstream(std::filesystem::path(served + L"package.zip"), std::ios::binary) << pkg;

    Process updater;
    // Forced, without the question to the user (that one comes only with the value 1).
    StartUpdater(updater, "http://127.0.0.1:" + port + "/e2e-any/package.zip", MD5Hex(pkg.data(), pkg.size()), 2);
    HWND launch = WaitWindow(kLaunchClass, updater.id, 60000);
    ASSERT_NE(launch, nullptr) << "no launch window: the download or the installation failed";
    EXPECT_EQ(ReadFile(m_client + L"Veltaro\\version.txt"), "2.0.0\n");
    EXPECT_TRUE(Exists(m_updaterDir + L"update.zip"));
    for (const wchar_t* part : {L"update.td", L"update.td0", L"update.td3"}) EXPECT_FALSE(Exists(m_updaterDir + part));
    PostMessageW(launch, WM_KEYDOWN, VK_RETURN, 1);
    EXPECT_EQ(updater.Wait(20000), 0u);
}

// Closing or skipping while the package's host name is being looked up (and the name server
// never answers) ends the process within 2 s of the click.
TEST(SilentLookup, ClosingTheWindowEndsTheProcessAtOnce) {
    if (ReadFile(kResolvConf).find(kSilentMark) == std::string::npos)
        GTEST_SKIP() << "runs as the e2e_silent_lookup test (a private resolv.conf)";
    WSADATA wsa;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    std::string address;
    SOCKET server = BindFreeNameServer(address);
    ASSERT_NE(server, INVALID_SOCKET) << "no free UDP port 53 on 127.84.0.0/16: " << WSAGetLastError();
    u_long nonBlocking = 1;
    ioctlsocket(server, FIONBIO, &nonBlocking);
    std::ofstream(std::filesystem::path(kResolvConf), std::ios::binary | std::ios::trunc)
        << kSilentMark << "\nnameserver " << address << "\noptions timeout:20 attempts:1\n";
    ASSERT_NE(ReadFile(kResolvConf).find("nameserver " + address), std::string::npos) << "resolv.conf not written";
    const std::string url = std::string("http://") + kSilentHost + "/package.zip";
    for (int way = 0; way < 2; ++way) {
        SCOPED_TRACE(way == 0 ? "close" : "skip");
        const std::wstring root = MakeTempDir(L"dl-silent");
        const std::wstring dir = root + L"Client\\Veltaro\\Updater\\";
        ASSERT_TRUE(CopyTo(ExeDir() + L"ZPVUpdate.exe", dir + L"ZPVUpdate.exe"));
        ASSERT_TRUE(CopyTo(ExeDir() + L"zlib.dll", dir + L"zlib.dll"));
        Process updater;
        const std::string a = "-url=" + url + " -md5=0123456789abcdef0123456789abcdef -forcedupdate=0";
        ASSERT_TRUE(Start(updater, dir + L"ZPVUpdate.exe", std::wstring(a.begin(), a.end())));
        HWND wnd = WaitWindow(kUpdaterClass, updater.id, 20000);
        ASSERT_NE(wnd, nullptr);
        // The lookup is under way once its query arrives, and it will not end for 20 s.
        ASSERT_TRUE(AwaitQuery(server, 20000)) << "no lookup reached the silent name server";
        if (way == 0) PostMessageW(wnd, WM_SYSCOMMAND, SC_CLOSE, 0);
        else Click(wnd, kSkipButton);
        const DWORD t0 = GetTickCount();
        EXPECT_EQ(updater.Wait(30000), 0u);
        const DWORD took = GetTickCount() - t0;
        std::printf("%s during the lookup: the process ended after %lu ms\n", way == 0 ? "close" : "skip",
                    static_cast<unsigned long>(took));
        EXPECT_LT(took, 2000u);
        RemoveTree(root);
        char query[512];
        while (recv(server, query, sizeof(query), 0) > 0) {   // the next case waits for its own query
        }
    }
    closesocket(server);
    WSACleanup();
}
