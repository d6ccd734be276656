// The system's name lookup against a DNS server that never answers. A private mount namespace
// (root only) gives a child run of this program its own resolv.conf, which points at a UDP
// port on loopback that this test holds open and never answers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

#include "download/downloader.h"
#include "download/http_download.h"
#include "test_util.h"

extern char** environ;

namespace {
using Clock = std::chrono::steady_clock;
const char kSilentAddress[] = "127.84.0.1";
const char kSilentHost[] = "package.zpv-silent.test";
const char kChildVariable[] = "ZPV_SILENT_DNS_CHILD";
// The resolver's own give-up time (resolv.conf "timeout", one attempt).
constexpr int kLookupSeconds = 3;

long long MsSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}
bool InChild() { return std::getenv(kChildVariable) != nullptr; }

class TestTask : public Downloader {
public:
    TestTask(const std::string& host, const std::wstring& folder) : Downloader("x", host, "/p.zip", false, folder) {}
    void DoInstall() override {}
};

class SilentDnsChild : public dltest::DownloadFixture {
protected:
    void SetUp() override {
        if (!InChild()) GTEST_SKIP() << "runs inside SilentDns.CasesInAPrivateNamespace";
        DownloadFixture::SetUp();
        // The child tells its parent that it runs in the namespace.
        std::ofstream(std::getenv(kChildVariable)) << "started\n";
    }
};
}  // namespace

TEST(SilentDns, CasesInAPrivateNamespace) {
    if (InChild()) GTEST_SKIP();
    if (geteuid() != 0) GTEST_SKIP() << "a private mount namespace needs root";
    const int server = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    inet_pton(AF_INET, kSilentAddress, &address.sin_addr);
    if (bind(server, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(server);
        GTEST_SKIP() << "cannot bind " << kSilentAddress << ":53";
    }
    const auto dir = std::filesystem::temp_directory_path() / ("zpv-silent-dns-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string resolv = (dir / "resolv.conf").string(), nss = (dir / "nsswitch.conf").string();
    const std::string mark = (dir / "started").string();
    std::ofstream(resolv) << "nameserver " << kSilentAddress << "\noptions timeout:" << kLookupSeconds << " attempts:1\n";
    std::ofstream(nss) << "hosts: files dns\n";
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);

    const std::string script = "mount --bind \"$1\" /etc/resolv.conf && mount --bind \"$2\" /etc/nsswitch.conf && "
                               "exec \"$3\" --gtest_filter='SilentDnsChild.*' --gtest_brief=1";
    std::vector<std::string> args = {"unshare", "-m", "sh", "-c", script, "sh", resolv, nss, self};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = {std::string(kChildVariable) + "=" + mark};
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawnp(&pid, "unshare", nullptr, nullptr, argv.data(), envp.data()), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    char query[512];
    const bool asked = recv(server, query, sizeof(query), 0) > 0;
    close(server);
    const bool started = std::filesystem::exists(mark);
    std::filesystem::remove_all(dir);
    if (!started) GTEST_SKIP() << "no private mount namespace here (unshare/mount failed)";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    EXPECT_TRUE(asked) << "the lookups never reached the silent server";
}

// Destroying a task whose worker waits for the name: the destructor returns at once, and when
// the lookup returns later nothing touches the freed task (AddressSanitizer watches).
TEST_F(SilentDnsChild, DestroyingATaskDuringTheLookup) {
    auto task = std::make_shared<TestTask>(std::string(kSilentHost) + ":80", WFolder());
    std::atomic<int> callbacks{0};
    task->m_onRetry = [&](std::uint32_t) { ++callbacks; };
    task->m_onFailed = [&] { ++callbacks; };
    task->Start();
    const auto done = task->DoneWaiter();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto t0 = Clock::now();
    task.reset();
    EXPECT_LT(MsSince(t0), 1000);
    EXPECT_TRUE(done(1000));
    std::this_thread::sleep_for(std::chrono::seconds(kLookupSeconds + 1));
    EXPECT_EQ(callbacks.load(), 0);
}

// A probe's lookup ends at the connect limit, or at once on a stop request.
TEST_F(SilentDnsChild, TheLookupIsBoundedAndStoppable) {
    DownloadTimings t = GetDownloadTimings();
    t.connectTimeoutMs = 500;
    SetDownloadTimings(t);
    CHttpDownload transfer;
    std::string host = kSilentHost, path = "/p";
    DownloadInfo info;
    auto t0 = Clock::now();
    EXPECT_EQ(dltest::PlainDownload(transfer, host, path, &info, Folder()), kProbeFailed);
    EXPECT_LT(MsSince(t0), 1500);
    EXPECT_TRUE(dltest::Diagnostics::Has(" exception = "));

    t.connectTimeoutMs = 60000;
    SetDownloadTimings(t);
    int result = 0;
    std::thread attempt([&] { result = dltest::PlainDownload(transfer, host, path, &info, Folder()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    t0 = Clock::now();
    transfer.RequestStop();
    attempt.join();
    EXPECT_LT(MsSince(t0), 1000);
    EXPECT_EQ(result, kProbeFailed);
}
