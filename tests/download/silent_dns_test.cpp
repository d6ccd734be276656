// The system's name lookup against a DNS server that never answers. A private mount namespace
// (root only) gives a child run of this program its own resolv.conf, which points at a UDP
// port 53 on a free loopback address that this test holds open and never answers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "download/downloader.h"
#include "download/http_download.h"
#include "test_util.h"

extern char** environ;

namespace {
using Clock = std::chrono::steady_clock;
const char kSilentHost[] = "package.zpv-silent.test";
const char kChildVariable[] = "ZPV_SILENT_DNS_CHILD";
// The silent server's socket, inherited by the child, which reads the queries from it.
const char kServerVariable[] = "ZPV_SILENT_DNS_FD";
// The resolver's own give-up time (resolv.conf "timeout", one attempt).
constexpr int kLookupSeconds = 3;

long long MsSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}
bool InChild() { return std::getenv(kChildVariable) != nullptr; }

// Binds a UDP socket to port 53 (resolv.conf names no port) of a loopback address that nothing
// else holds: anyone may own 127.84.0.1:53, e.g. another run of this test. -1 when none is free.
int BindFreeNameServer(std::string& address) {
    for (unsigned i = 0; i < 256; ++i) {
        const unsigned n = (static_cast<unsigned>(getpid()) + i) % 65534 + 1;
        address = "127.84." + std::to_string(n >> 8) + "." + std::to_string(n & 255);
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(53);
        inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) return fd;
        if (fd >= 0) close(fd);
    }
    return -1;
}

// In the child: drops the queries of earlier cases, so that AwaitQuery sees this case's own.
void DropQueries() {
    const int fd = std::atoi(std::getenv(kServerVariable));
    char query[512];
    while (recv(fd, query, sizeof(query), MSG_DONTWAIT) > 0) {
    }
}

// In the child: true once a query reached the silent server, i.e. a lookup is under way.
bool AwaitQuery(int ms) {
    pollfd p{std::atoi(std::getenv(kServerVariable)), POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

// The threads of this process; a lookup runs on a thread of its own that ends when it returns.
int ThreadCount() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}

class SilentDnsChild : public dltest::DownloadFixture {
protected:
    void SetUp() override {
        if (!InChild()) GTEST_SKIP() << "runs inside SilentDns.CasesInAPrivateNamespace";
        DownloadFixture::SetUp();
        DropQueries();
        // The child tells its parent that it runs in the namespace.
        std::ofstream(std::getenv(kChildVariable)) << "started\n";
    }
};
}  // namespace

TEST(SilentDns, CasesInAPrivateNamespace) {
    if (InChild()) GTEST_SKIP();
    if (geteuid() != 0) GTEST_SKIP() << "a private mount namespace needs root";
    std::string address;
    const int server = BindFreeNameServer(address);
    ASSERT_GE(server, 0) << "no free UDP port 53 on 127.84.0.0/16 (" << address << ": " << std::strerror(errno) << ")";
    const auto dir = std::filesystem::temp_directory_path() / ("zpv-silent-dns-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string resolv = (dir / "resolv.conf").string(), nss = (dir / "nsswitch.conf").string();
    const std::string mark = (dir / "started").string();
    std::ofstream(resolv) << "nameserver " << address << "\noptions timeout:" << kLookupSeconds << " attempts:1\n";
    std::ofstream(nss) << "hosts: files dns\n";
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);

    const std::string script = "mount --bind \"$1\" /etc/resolv.conf && mount --bind \"$2\" /etc/nsswitch.conf && "
                               "exec \"$3\" --gtest_filter='SilentDnsChild.*' --gtest_brief=1";
    std::vector<std::string> args = {"unshare", "-m", "sh", "-c", script, "sh", resolv, nss, self};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = {std::string(kChildVariable) + "=" + mark,
                                    std::string(kServerVariable) + "=" + std::to_string(server)};
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawnp(&pid, "unshare", nullptr, nullptr, argv.data(), envp.data()), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(server);
    const bool started = std::filesystem::exists(mark);
    std::filesystem::remove_all(dir);
    if (!started) GTEST_SKIP() << "no private mount namespace here (unshare/mount failed)";
    // Each child case checks that its lookup reached the silent server.
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

// Destroying a task whose worker waits for the name: the destructor returns at once, and when
// the lookup returns later nothing touches the freed task (AddressSanitizer watches).
TEST_F(SilentDnsChild, DestroyingATaskDuringTheLookup) {
    auto task = std::make_shared<zpvtest::NoInstallTask>("x", std::string(kSilentHost) + ":80", WFolder());
    std::atomic<int> callbacks{0};
    task->m_onRetry = [&](std::uint32_t) { ++callbacks; };
    task->m_onFailed = [&] { ++callbacks; };
    // A sanitizer may start a helper thread of its own with the first thread: counted in.
    std::thread([] {}).join();
    const int threads = ThreadCount();
    task->Start();
    const auto done = task->DoneWaiter();
    ASSERT_TRUE(AwaitQuery(5000)) << "the lookup never reached the silent server";
    const auto t0 = Clock::now();
    task.reset();
    EXPECT_LT(MsSince(t0), 1000);
    EXPECT_TRUE(done(1000));
    // The resolver gives up after kLookupSeconds and the lookup thread ends.
    EXPECT_TRUE(zpvtest::WaitUntil([&] { return ThreadCount() <= threads; }, (kLookupSeconds + 5) * 1000))
        << "the lookup thread did not end";
    EXPECT_EQ(callbacks.load(), 0);
}

// A probe's lookup ends at the connect limit, or at once on a stop request.
TEST_F(SilentDnsChild, TheLookupIsBoundedAndStoppable) {
    DownloadTimings t = settings::downloadTimings.Get();
    t.connectTimeoutMs = 500;
    const dltest::TimingsOverride shortConnect(settings::downloadTimings, t);
    CHttpDownload transfer;
    std::string host = kSilentHost, path = "/p";
    DownloadInfo info;
    auto t0 = Clock::now();
    EXPECT_EQ(dltest::PlainDownload(transfer, host, path, &info, Folder()), kProbeFailed);
    EXPECT_LT(MsSince(t0), 1500);
    EXPECT_TRUE(dltest::Diagnostics::Has(" exception = "));
    EXPECT_TRUE(AwaitQuery(0)) << "the lookup never reached the silent server";

    t.connectTimeoutMs = 60000;
    const dltest::TimingsOverride longConnect(settings::downloadTimings, t);
    int result = 0;
    DropQueries();
    std::thread attempt([&] { result = dltest::PlainDownload(transfer, host, path, &info, Folder()); });
    EXPECT_TRUE(AwaitQuery(5000)) << "the lookup never reached the silent server";
    t0 = Clock::now();
    transfer.RequestStop();
    attempt.join();
    EXPECT_LT(MsSince(t0), 1000);
    EXPECT_EQ(result, kProbeFailed);
}
