// Downloads over TLS from the nginx of tools/services.sh (test PKI of tools/test-certs.sh): the
// whole attempt, the redirect from http://, refused certificates, and servers that stall, speak
// no TLS or cut a record. Natively the test root comes as CA file; under Wine it is one of the
// prefix's trusted roots (tools/wine-prefix.sh), so the same cases run through the system's TLS.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#endif

#include <boost/asio.hpp>

#include "download/downloader.h"
#include "download/http_download.h"
#include "http/transport.h"
#include "test_server.h"
#include "test_util.h"

using dltest::Diagnostics;
using zpvtest::LogCapture;
using zpvtest::Noise;
using zpvtest::Env;
using zpvtest::ReadFile;

namespace {
namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

// What a relay does towards the client once it passed `passed` bytes of the server's.
struct RelayPlan {
    enum After { kHold, kCut, kTrickle };
    long long passed = -1;   // < 0: everything passes
    After after = kHold;
    std::uint32_t trickleMs = 5;   // kTrickle: one byte per this pause
};

// Passes bytes both ways between the client and a TLS port of nginx without looking at them,
// so the client's session is nginx's; the plan decides what the client gets to see.
TestServer::Handler TlsRelay(const std::string& port, RelayPlan plan) {
    return [port, plan](Exchange& ex) {
        asio::io_context io;
        asio::ip::tcp::socket up(io);
        boost::system::error_code ec;
        up.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(std::stoi(port))}, ec);
        if (ec) return;
        std::thread toServer([&] {
            char b[16384];
            for (std::size_t n; (n = ex.Receive(b, sizeof b)) > 0;) {
                boost::system::error_code e;
                asio::write(up, asio::buffer(b, n), e);
                if (e) break;
            }
            // The client is gone: nginx closes too, which ends a read that waits for it.
            boost::system::error_code ignored;
            up.shutdown(asio::socket_base::shutdown_both, ignored);
        });
        std::vector<char> b(64 * 1024);
        long long sent = 0;
        for (bool open = true; open;) {
            std::size_t n = up.read_some(asio::buffer(b), ec);
            if (n == 0) break;
            std::size_t free = plan.passed < 0 ? n : static_cast<std::size_t>(std::min<long long>(n, plan.passed - sent));
            open = ex.Send(b.data(), free);
            sent += static_cast<long long>(free);
            if (free == n) continue;
            if (plan.after == RelayPlan::kHold) ex.HoldUntilStopped();
            for (std::size_t i = free; plan.after == RelayPlan::kTrickle && i < n && open; ++i) {
                ex.Hold(plan.trickleMs);
                open = ex.Send(&b[i], 1);
            }
            if (plan.after != RelayPlan::kTrickle) break;
        }
        ex.Shutdown();   // ends the other direction too
        toServer.join();
    };
}

class TlsDownload : public dltest::NginxFixture {
protected:
    void SetUp() override {
        NginxFixture::SetUp();
        m_tlsPort = Env("ZPV_HTTPS_PORT");
        ASSERT_FALSE(m_tlsPort.empty() || Env("ZPV_CERTS").empty()) << "start nginx first with `. tools/services.sh start`";
        m_caFile.emplace(settings::tlsCaFile, Env("ZPV_CERTS") + "/ca.pem");
    }
    void TearDown() override {
        m_caFile.reset();
        NginxFixture::TearDown();
    }
    int Run(UrlScheme scheme, const std::string& host, const std::string& path, const std::string& md5) {
        return RunAttempt(scheme, host, path, md5);
    }

    std::string m_tlsPort;
    std::optional<Setting<std::string>::Override> m_caFile;   // natively; Windows uses its store
};

}  // namespace

// By address and by name (sent for name indication and checked), and from the plain port that
// redirects http:// to https:// of the same path.
TEST_F(TlsDownload, FullDownloadByAddressByNameAndAfterARedirectFromHttp) {
    const std::string body = Noise(3 * 1024 * 1024 + 5, 7);
    const std::string md5 = Publish(body);
    for (const std::string name : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(Run(UrlScheme::kHttps, name + ":" + m_tlsPort, "/" + m_name, md5), kDownloadOk) << Diagnostics::Text();
        EXPECT_TRUE(ReadFile(File("update.zip")) == body);
        EXPECT_EQ(m_info.downloadedBytes, static_cast<std::int64_t>(body.size()));
    }
    std::filesystem::remove(File("update.zip"));
    ASSERT_EQ(Run(UrlScheme::kHttp, "127.0.0.1:" + Env("ZPV_HTTP_PORT"), "/https/" + m_name, md5), kRedirected);
    EXPECT_TRUE(m_scheme == UrlScheme::kHttps);
    EXPECT_EQ(m_host, "127.0.0.1:" + m_tlsPort);
    EXPECT_EQ(m_path, "/https/" + m_name);
    ASSERT_EQ(m_transfer.Download(m_scheme, m_host, m_path, &m_info, Folder()), kDownloadOk) << Diagnostics::Text();
    EXPECT_TRUE(ReadFile(File("update.zip")) == body);
}

// Every attempt of the task fails, names the reason on standard output and in the log, and
// writes nothing; without the test root (the system's roots only) the good server is untrusted.
TEST_F(TlsDownload, RefusedCertificatesFailEveryAttemptWithTheirReason) {
    struct Case {
        std::string port;
        const char* reason;
        bool systemRoots;
    };
    const Case cases[] = {{Env("ZPV_HTTPS_UNTRUSTED_PORT"), "untrusted", false},
                          {Env("ZPV_HTTPS_EXPIRED_PORT"), "expired", false},
                          {Env("ZPV_HTTPS_WRONGNAME_PORT"), "wrong name", false},
#ifndef _WIN32
                          {m_tlsPort, "untrusted", true},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.reason) + " on port " + c.port);
        std::optional<Setting<std::string>::Override> systemRoots;
        if (c.systemRoots) systemRoots.emplace(settings::tlsCaFile, "");
        Diagnostics::Clear();
        LogCapture::Clear();
        zpvtest::NoInstallTask task("0123456789abcdef0123456789abcdef", "127.0.0.1:" + c.port, WFolder(), "/p.zip",
                                    UrlScheme::kHttps);
        std::vector<std::uint32_t> retries;
        bool failed = false;
        task.m_onRetry = [&](std::uint32_t n) { retries.push_back(n); };
        task.m_onFailed = [&] { failed = true; };
        task.Start();
        ASSERT_TRUE(task.WaitDone(30000));
        EXPECT_TRUE(failed);
        EXPECT_EQ(retries.size(), 10u);
        EXPECT_EQ(task.LastResult(), kProbeFailed);
        const std::string line = " exception = certificate of 127.0.0.1 refused: " + std::string(c.reason) + "\n";
        const std::string text = Diagnostics::Text();
        std::size_t count = 0;
        for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
        EXPECT_EQ(count, 10u) << text;
        EXPECT_TRUE(LogCapture::HasLine('W', "certificate of 127.0.0.1 refused: " + std::string(c.reason)));
        EXPECT_TRUE(std::filesystem::is_empty(m_dir));
    }
}

// A server that accepts and never answers the greeting, one that answers it in plain HTTP, one
// that trickles its handshake (every read in time, the whole beyond the header limit) and one
// that cuts a record of the body: each attempt fails within the limits of plain HTTP. A stop
// request ends a handshake at once.
TEST_F(TlsDownload, StalledForeignTrickledAndCutServersAreBounded) {
    const std::string body = Noise(2 * 1024 * 1024, 9);
    const std::string md5 = Publish(body);
    {
        TestServer silent([](Exchange& ex) { ex.HoldUntilStopped(); }, TestServer::Mode::kRaw);
        EXPECT_EQ(Run(UrlScheme::kHttps, silent.Host(), "/" + m_name, md5), kProbeFailed);
        EXPECT_GE(m_elapsedMs, 900);    // the read limit (1000 ms in these tests)
        EXPECT_LT(m_elapsedMs, 2500);
        EXPECT_TRUE(Diagnostics::Has(" exception = TLS handshake with 127.0.0.1: ")) << Diagnostics::Text();

        CHttpDownload transfer;
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            transfer.RequestStop();
        });
        UrlScheme scheme = UrlScheme::kHttps;
        std::string host = silent.Host(), path = "/p.zip";
        const auto t0 = Clock::now();
        EXPECT_EQ(transfer.Download(scheme, host, path, &m_info, Folder()), kProbeFailed);
        EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(700));
        stopper.join();
    }
    Diagnostics::Clear();
    EXPECT_EQ(Run(UrlScheme::kHttps, "127.0.0.1:" + Env("ZPV_HTTP_PORT"), "/" + m_name, md5), kProbeFailed);
    EXPECT_LT(m_elapsedMs, 1000);
    EXPECT_TRUE(Diagnostics::Has(" exception = TLS handshake with 127.0.0.1: handshake failed\n")) << Diagnostics::Text();
    {
        RelayPlan plan;
        plan.passed = 0;
        plan.after = RelayPlan::kTrickle;
        TestServer trickle(TlsRelay(m_tlsPort, plan), TestServer::Mode::kRaw);
        EXPECT_EQ(Run(UrlScheme::kHttps, trickle.Host(), "/" + m_name, md5), kProbeFailed);
        EXPECT_GE(m_elapsedMs, 1900);   // the header limit (2000 ms), counted from the handshake
        EXPECT_LT(m_elapsedMs, 3500);
    }
    {
        RelayPlan plan;
        plan.passed = 200 * 1024;   // past the handshake and the header, inside the body
        plan.after = RelayPlan::kCut;
        TestServer cut(TlsRelay(m_tlsPort, plan), TestServer::Mode::kRaw);
        const int result = Run(UrlScheme::kHttps, cut.Host(), "/" + m_name, md5);
        EXPECT_TRUE(result == kLengthMismatch || result == kDigestMismatch) << result;
        EXPECT_LT(m_elapsedMs, 2000);
        EXPECT_FALSE(Exists("update.zip"));
    }
}

#ifndef _WIN32
// The fetch tool is killed (SIGKILL) while its four connections hold part of their ranges; its
// next run resumes each range where the part file ends. nginx logs the Range values it got.
TEST_F(TlsDownload, ResumeAfterTheFetchToolWasKilledMidTransfer) {
    const std::uint32_t size = 8 * 1024 * 1024 + 3;
    const std::string body = Noise(size, 5);
    const std::string md5 = Publish(body);
    const std::string caFile = "-cafile=" + Env("ZPV_CERTS") + "/ca.pem";
    std::vector<std::uint64_t> expected;
    {
        RelayPlan plan;
        plan.passed = 700 * 1024;   // bytes per connection (handshake included) before it holds
        TestServer relay(TlsRelay(m_tlsPort, plan), TestServer::Mode::kRaw);
        expected = dltest::FetchKilledPartWay(
            {"-url=https://" + relay.Host() + "/" + m_name, "-md5=" + md5, "-dir=" + Folder(), "-quiet=1", caFile},
            Folder(), size);
        ASSERT_EQ(expected.size(), 4u);
    }

    const std::string target = "/" + m_name + "?resumed";
    const pid_t pid = dltest::SpawnFetch(
        {"-url=https://127.0.0.1:" + m_tlsPort + target, "-md5=" + md5, "-dir=" + Folder(), "-quiet=1", caFile});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(dltest::WaitExit(pid), 0);
    EXPECT_TRUE(ReadFile(File("update.zip")) == body);
    for (int k = 0; k < 4; ++k) EXPECT_FALSE(Exists("update.td" + std::to_string(k)));

    // nginx writes a line as each request ends: the probe's and the four ranges'.
    std::vector<std::string> ranges;
    for (int i = 0; i < 200 && ranges.size() < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ranges.clear();
        std::ifstream log(Env("ZPV_HTTPS_LOG"));
        for (std::string line; std::getline(log, line);) {
            if (line.rfind(target + "|", 0) == 0) ranges.push_back(line.substr(target.size() + 1));
        }
    }
    ASSERT_EQ(ranges.size(), 5u);
    std::vector<std::uint64_t> seen;
    for (const std::string& r : ranges) {
        ASSERT_EQ(r.rfind("bytes=", 0), 0u) << r;
        seen.push_back(std::stoull(r.substr(6)));
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen.front(), 0u);   // the probe
    seen.erase(seen.begin());
    EXPECT_EQ(seen, expected);
}
#endif
