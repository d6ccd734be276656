// The worker thread base and the download tasks: attempts, callbacks, redirects, stopping.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "download/downloader.h"
#include "download/thread_base.h"
#include "log/rklog.h"
#include "test_server.h"
#include "test_util.h"

using zpvtest::NoInstallTask;
using zpvtest::Noise;
using zpvtest::ReadFile;
using zpvtest::WriteFile;

namespace {
using Clock = std::chrono::steady_clock;
long long MsSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// A job that runs until released; it shares its state with the worker, as jobs must.
class CountingJob : public ThreadBase {
public:
    struct Gate {
        std::atomic<int> runs{0};
        std::mutex mutex;
        std::condition_variable changed;
        bool release = false;
    };
    ~CountingJob() override { RequestStop(); }
    void RequestStop() override {
        std::lock_guard<std::mutex> lock(m_gate->mutex);
        m_gate->release = true;
        m_gate->changed.notify_all();
    }
    std::shared_ptr<Gate> m_gate = std::make_shared<Gate>();

protected:
    std::function<void()> Job() override {
        return [gate = m_gate] {
            ++gate->runs;
            std::unique_lock<std::mutex> lock(gate->mutex);
            gate->changed.wait_for(lock, std::chrono::seconds(20), [&] { return gate->release; });
        };
    }
};

class Task : public dltest::DownloadFixture {
protected:
    // Runs a task to its end and records its callbacks.
    void RunTask(Downloader& task) {
        task.m_onRetry = [this](std::uint32_t n) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(static_cast<int>(n));
        };
        task.m_onFailed = [this] {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(-1);
        };
        task.Start();
        ASSERT_TRUE(task.WaitDone(30000));
    }
    std::vector<int> Events() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    std::mutex m_mutex;
    std::vector<int> m_events;
};
}  // namespace

TEST(ThreadBase, RunsOnceAndEndsWithItsObject) {
    {
        CountingJob never;   // never started: nothing to wait for
        EXPECT_TRUE(never.IsDone());
        EXPECT_TRUE(never.WaitDone(0));
    }
    auto job = std::make_unique<CountingJob>();
    job->Start();
    job->Start();
    EXPECT_FALSE(job->WaitDone(50));
    job->RequestStop();
    EXPECT_TRUE(job->WaitDone(5000));
    job->Start();   // after the end: still nothing new runs
    EXPECT_TRUE(job->WaitDone(100));
    EXPECT_EQ(job->m_gate->runs.load(), 1);

    // Destroying a running job asks it to stop and returns without waiting; the worker ends
    // on its own with the state it shares.
    auto running = std::make_unique<CountingJob>();
    running->Start();
    const auto gate = running->m_gate;
    const auto done = running->DoneWaiter();
    const auto t0 = Clock::now();
    running.reset();
    EXPECT_LT(MsSince(t0), 100);
    EXPECT_TRUE(done(5000));
    EXPECT_TRUE(gate->release);
}

TEST_F(Task, SuccessAtTheFirstAttemptMakesNoCallback) {
    auto body = std::make_shared<const std::string>(Noise(300000));
    TestServer server(ServeFile(body));
    WriteFile(File("update.zip"), "old package");
    NoInstallTask task(MD5Hex(body->data(), body->size()), server.Host(), WFolder());
    std::atomic<bool> polling{true};
    std::int64_t lastSeen = 0;
    // The window polls from its own thread while the transfer threads write (the thread
    // sanitizer watches these reads): within one attempt progress only grows, up to the total.
    std::thread poller([&] {
        while (polling.load()) {
            const DownloadInfo info = task.GetInfo();
            EXPECT_LE(info.downloadedBytes, 300000);
            EXPECT_GE(info.downloadedBytes, lastSeen);
            lastSeen = info.downloadedBytes;
            (void)task.Succeeded();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    RunTask(task);
    polling = false;
    poller.join();
    EXPECT_TRUE(task.Succeeded());
    EXPECT_EQ(task.LastResult(), kDownloadOk);
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(ReadFile(File("update.zip")), *body);
    const DownloadInfo info = task.GetInfo();
    EXPECT_EQ(info.totalBytes, 300000);
    EXPECT_EQ(info.downloadedBytes, 300000);
    EXPECT_EQ(info.md5, MD5Hex(body->data(), body->size()));
}

TEST_F(Task, TenCountedFailuresThenTheFailureCallback) {
    TestServer server(ServeText("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"));
    WriteFile(File("update.zip"), "old package");
    NoInstallTask task("x", server.Host(), WFolder());
    RunTask(task);
    EXPECT_EQ(Events(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, -1}));
    EXPECT_FALSE(task.Succeeded());
    EXPECT_EQ(task.LastResult(), kProbeFailed);
    EXPECT_EQ(server.ConnectionCount(), 10);
    EXPECT_FALSE(Exists("update.zip"));   // the old package went at the start

    // Without callbacks the task ends just as well, silently.
    NoInstallTask quiet("x", server.Host(), WFolder());
    quiet.Start();
    ASSERT_TRUE(quiet.WaitDone(30000));
    EXPECT_FALSE(quiet.Succeeded());
    EXPECT_EQ(server.ConnectionCount(), 20);
}

TEST_F(Task, RedirectsAreFollowedWithoutCountingButLoopsFail) {
    auto body = std::make_shared<const std::string>(Noise(20000));
    TestServer target(ServeFile(body));
    TestServer second(ServeText("HTTP/1.1 302 Found\r\nLocation: http://" + target.Host() + "/final.zip\r\n\r\n"));
    TestServer first(ServeText("HTTP/1.1 301 Moved\r\nLocation: http://" + second.Host() + "/step.zip\r\n\r\n"));
    NoInstallTask task(MD5Hex(body->data(), body->size()), first.Host(), WFolder(), "/start.zip");
    RunTask(task);
    EXPECT_TRUE(task.Succeeded());
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(task.Host(), target.Host());
    EXPECT_EQ(task.Path(), "/final.zip");

    // A server that redirects to itself forever: every run of redirects beyond the limit
    // counts as one failed attempt, so the task ends.
    std::string self;
    TestServer* loopPtr = nullptr;
    std::mutex selfMutex;
    TestServer loop([&](Exchange& ex) {
        std::lock_guard<std::mutex> lock(selfMutex);
        ex.Send("HTTP/1.1 302 Found\r\nLocation: http://" + loopPtr->Host() + "/again\r\n\r\n");
    });
    {
        std::lock_guard<std::mutex> lock(selfMutex);
        loopPtr = &loop;
    }
    NoInstallTask looping("x", loop.Host(), WFolder(), "/again");
    m_events.clear();
    RunTask(looping);
    EXPECT_EQ(Events(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, -1}));
    EXPECT_EQ(looping.LastResult(), kRedirected);
    EXPECT_EQ(loop.ConnectionCount(), 10 * (static_cast<int>(Downloader::kMaxRedirects) + 1));
}

TEST_F(Task, DestroyingARunningTaskStopsItPromptlyAndKeepsParts) {
    auto body = std::make_shared<const std::string>(Noise(4000000));
    ServeOptions o;
    o.writeSize = 4096;
    o.pauseMs = 20;
    TestServer server(ServeFile(body, o));
    std::atomic<int> callbacks{0};
    auto task = std::make_shared<NoInstallTask>(MD5Hex(body->data(), body->size()), server.Host(), WFolder(), "/p");
    task->m_onRetry = [&](std::uint32_t) { ++callbacks; };
    task->m_onFailed = [&] { ++callbacks; };
    task->Start();
    const auto done = task->DoneWaiter();
    ASSERT_TRUE(server.WaitConnections(5, 5000));
    // Stopped while the body flows: the parts written so far must be kept.
    ASSERT_TRUE(zpvtest::WaitUntil([&] { return dltest::PartBytes(Folder()) > 0; }, 5000)) << "no body reached a part file";
    const auto t0 = Clock::now();
    task.reset();
    EXPECT_LT(MsSince(t0), 100);
    EXPECT_TRUE(done(1000));   // the worker ends promptly on its own
    EXPECT_EQ(callbacks.load(), 0);
    EXPECT_FALSE(Exists("update.td"));
    EXPECT_TRUE(Exists("update.td0") || Exists("update.td3"));
}

TEST_F(Task, StopEndsTheRetryPause) {
    TestServer server(ServeText("HTTP/1.1 500 Oops\r\n\r\n"));
    auto task = std::make_shared<NoInstallTask>("x", server.Host(), WFolder(), "/p");
    std::atomic<int> retries{0};
    std::atomic<bool> pauseEnded{false};
    task->m_onRetry = [&](std::uint32_t) {
        ++retries;
        pauseEnded = task->SleepUnlessStopped(60000);
    };
    task->Start();
    for (int i = 0; i < 500 && retries.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto t0 = Clock::now();
    task->RequestStop();
    ASSERT_TRUE(task->WaitDone(2000));
    EXPECT_LT(MsSince(t0), 1000);
    EXPECT_TRUE(pauseEnded.load());
    EXPECT_EQ(retries.load(), 1);
}

TEST_F(Task, ZipDownloaderKeepsThePackageDescription) {
    ZipConf conf = parseZipConf(L"-url=http://127.0.0.1:1/a/b.zip -md5=ABC -forcedupdate=2", L"C:\\P\\V\\U\\");
    ZipDownloader task(conf, WFolder());
    EXPECT_EQ(task.Package().forcedUpdate, 2);
    EXPECT_EQ(task.Path(), "/a/b.zip");
    EXPECT_EQ(task.GetInfo().md5, "ABC");
}

TEST_F(Task, DoInstallHandsThePackageToTheInstallationAction) {
    ZipConf conf = parseZipConf(L"-url=http://127.0.0.1:1/a.zip -md5=abc -forcedupdate=2", WFolder());
    std::vector<ZipConf> installed;
    ZipDownloader task(conf, WFolder(), [&installed](const ZipConf& package) { installed.push_back(package); });
    task.DoInstall();
    ASSERT_EQ(installed.size(), 1u);
    EXPECT_EQ(installed[0].zipPath, conf.zipPath);
    EXPECT_EQ(installed[0].forcedUpdate, 2);
    ZipDownloader withoutAction(conf, WFolder());
    withoutAction.DoInstall();   // nothing to run, nothing to fail
}
