// Name lookups that answer late or never, as with a name server that does not reply: every
// wait for a lookup ends at the connect limit, or at once on a stop request, and a task
// destroyed meanwhile frees nothing its worker still uses.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "download/downloader.h"
#include "download/http_download.h"
#include "http/name_lookup.h"
#include "test_server.h"
#include "test_util.h"

namespace {
using Clock = std::chrono::steady_clock;
long long MsSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// A stand-in name server: names ending in ".silent" get no answer until the test ends, every
// other name is 127.0.0.1. Shared with the lookup threads, which may outlive a wait for them.
struct NameServer {
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    int pending = 0;
};

class Lookup : public dltest::DownloadFixture {
protected:
    void SetUp() override {
        DownloadFixture::SetUp();
        m_resolver.emplace(settings::nameResolver, [server = m_server](const std::string& name, const std::string& port,
                                            boost::system::error_code& ec) {
            Endpoints endpoints;
            std::unique_lock<std::mutex> lock(server->mutex);
            if (name.size() > 7 && name.compare(name.size() - 7, 7, ".silent") == 0) {
                ++server->pending;
                server->changed.wait(lock, [&] { return server->released; });
                --server->pending;
                server->changed.notify_all();
                ec = boost::asio::error::host_not_found;
                return endpoints;
            }
            endpoints.emplace_back(boost::asio::ip::make_address("127.0.0.1"),
                                   static_cast<unsigned short>(std::stoi(port)));
            return endpoints;
        });
    }
    void TearDown() override {
        m_resolver.reset();
        // Lets the abandoned lookups return, and waits until they have.
        std::unique_lock<std::mutex> lock(m_server->mutex);
        m_server->released = true;
        m_server->changed.notify_all();
        EXPECT_TRUE(m_server->changed.wait_for(lock, std::chrono::seconds(5), [&] { return m_server->pending == 0; }));
        lock.unlock();
        DownloadFixture::TearDown();
    }
    int Pending() {
        std::lock_guard<std::mutex> lock(m_server->mutex);
        return m_server->pending;
    }

    std::shared_ptr<NameServer> m_server = std::make_shared<NameServer>();
    std::optional<Setting<NameResolver>::Override> m_resolver;
};

}  // namespace

TEST_F(Lookup, ANameThatResolvesIsUsed) {
    auto body = std::make_shared<const std::string>(zpvtest::Noise(100000));
    TestServer server(ServeFile(body));
    CHttpDownload transfer;
    std::string host = "package.test:" + std::to_string(server.Port()), path = "/p";
    DownloadInfo info;
    info.md5 = MD5Hex(body->data(), body->size());
    EXPECT_EQ(dltest::PlainDownload(transfer, host, path, &info, Folder()), kDownloadOk);
    EXPECT_NE(server.Requests()[0].find("\r\nHost: " + host + "\r\n"), std::string::npos);
}

TEST_F(Lookup, ASilentLookupEndsAtTheConnectLimitOrOnStop) {
    DownloadTimings t = settings::downloadTimings.Get();
    t.connectTimeoutMs = 300;
    const dltest::TimingsOverride shortConnect(settings::downloadTimings, t);
    CHttpDownload transfer;
    std::string host = "package.silent", path = "/p";
    DownloadInfo info;
    auto t0 = Clock::now();
    EXPECT_EQ(dltest::PlainDownload(transfer, host, path, &info, Folder()), kProbeFailed);
    EXPECT_GE(MsSince(t0), 250);
    EXPECT_LT(MsSince(t0), 1000);
    EXPECT_TRUE(dltest::Diagnostics::Has(" exception = resolve: "));

    t.connectTimeoutMs = 60000;
    const dltest::TimingsOverride longConnect(settings::downloadTimings, t);
    int result = 0;
    std::thread attempt([&] { result = dltest::PlainDownload(transfer, host, path, &info, Folder()); });
    while (Pending() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    t0 = Clock::now();
    transfer.RequestStop();
    attempt.join();
    EXPECT_LT(MsSince(t0), 1000);
    EXPECT_EQ(result, kProbeFailed);
}

TEST_F(Lookup, DestroyingATaskDuringTheLookupReturnsAtOnce) {
    auto task = std::make_shared<zpvtest::NoInstallTask>("x", "package.silent:80", WFolder());
    std::atomic<int> callbacks{0};
    task->m_onRetry = [&](std::uint32_t) { ++callbacks; };
    task->m_onFailed = [&] { ++callbacks; };
    task->Start();
    const auto done = task->DoneWaiter();
    while (Pending() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto t0 = Clock::now();
    task.reset();
    EXPECT_LT(MsSince(t0), 100);
    EXPECT_TRUE(done(1000));
    EXPECT_EQ(callbacks.load(), 0);
    EXPECT_EQ(Pending(), 1);   // the lookup itself goes on; nobody waits for it
}
