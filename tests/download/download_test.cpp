// One download attempt against the scripted server: request bytes, the four ranges, resume,
// the join and its checks, and every fault the server can inject.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <functional>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#ifdef _WIN32
#include <windows.h>
#endif

#include "download/file_io.h"
#include "download/http_download.h"
#include "test_server.h"
#include "test_util.h"

using dltest::Diagnostics;
using dltest::TimingsOverride;
using zpvtest::Noise;
using zpvtest::ReadFile;
using zpvtest::WriteFile;

namespace {
using Clock = std::chrono::steady_clock;

class Attempt : public dltest::AttemptFixture {
protected:
    int Run(const TestServer& server, const std::string& md5, const std::string& path = "/pkg/u.zip") {
        return RunAttempt(UrlScheme::kHttp, server.Host(), path, md5);
    }
    // Like Run, but asks the attempt to stop after limitMs, so that a fault that would keep it
    // open for long fails the test instead of hanging it.
    int RunBounded(const TestServer& server, const std::string& md5, std::uint32_t limitMs,
                   bool freshInfo = true) {
        m_host = server.Host();
        m_path = "/pkg/u.zip";
        if (freshInfo) m_info = DownloadInfo();
        m_info.md5 = md5;
        int result = 0;
        std::atomic<bool> done{false};
        CHttpDownload transfer;   // a stop is final for its object: each run has its own
        const auto t0 = Clock::now();
        std::thread attempt([&] {
            result = dltest::PlainDownload(transfer, m_host, m_path, &m_info, Folder());
            done = true;
        });
        while (!done.load() && Clock::now() - t0 < std::chrono::milliseconds(limitMs)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        m_elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
        transfer.RequestStop();
        attempt.join();
        return result;
    }
    // Range starts of the segment requests (connections 1 to 4), sorted.
    static std::vector<std::uint64_t> SegmentStarts(const TestServer& server) {
        std::vector<std::uint64_t> starts;
        const auto requests = server.Requests();
        for (std::size_t i = 1; i < requests.size(); ++i) {
            const auto pos = requests[i].find("Range: bytes=");
            starts.push_back(std::stoull(requests[i].substr(pos + 13)));
        }
        std::sort(starts.begin(), starts.end());
        return starts;
    }
    bool NoPartFiles() const {
        return !Exists("update.td0") && !Exists("update.td1") && !Exists("update.td2") && !Exists("update.td3");
    }
};

std::shared_ptr<const std::string> Package(std::size_t size) {
    return std::make_shared<const std::string>(Noise(size));
}
}  // namespace

TEST_F(Attempt, SuccessSendsExactRequestsAndLeavesOnlyThePackage) {
    auto body = Package(1000003);
    TestServer server(ServeFile(body));
    ASSERT_EQ(Run(server, MD5Hex(body->data(), body->size())), kDownloadOk);
    EXPECT_EQ(ReadFile(File("update.zip")), *body);
    EXPECT_FALSE(Exists("update.td"));
    EXPECT_TRUE(NoPartFiles());
    EXPECT_EQ(m_info.totalBytes, 1000003);
    EXPECT_EQ(m_info.downloadedBytes, 1000003);   // reads stop at each range's end
    EXPECT_EQ(m_info.filePath, Folder() + "update.td");

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 5u);
    const std::string head = "GET /pkg/u.zip HTTP/1.1\r\nHost: " + server.Host() +
                             "\r\nAccept: */*\r\nPragma: no-cache\r\nCache-Control: no-cache\r\n"
                             "Connection: close\r\nRange: bytes=";
    EXPECT_EQ(requests[0], head + "0- \r\n\r\n");
    for (std::size_t i = 1; i < 5; ++i) EXPECT_EQ(requests[i].substr(0, head.size()), head);
    EXPECT_EQ(SegmentStarts(server), (std::vector<std::uint64_t>{0, 250000, 500000, 750000}));
}

TEST_F(Attempt, TinyFilesAndUpperCaseDigest) {
    // Length 3: three empty ranges still connect; segment 3 carries the file.
    auto three = Package(3);
    {
        TestServer server(ServeFile(three));
        std::string md5 = MD5Hex(three->data(), 3);
        for (auto& c : md5) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        ASSERT_EQ(Run(server, md5), kDownloadOk);
        EXPECT_EQ(ReadFile(File("update.zip")), *three);
        EXPECT_EQ(server.ConnectionCount(), 5);
        EXPECT_TRUE(NoPartFiles());
    }
    auto ten = Package(10);
    TestServer server(ServeFile(ten));
    ASSERT_EQ(Run(server, MD5Hex(ten->data(), 10)), kDownloadOk);
    EXPECT_EQ(SegmentStarts(server), (std::vector<std::uint64_t>{0, 2, 4, 6}));
}

TEST_F(Attempt, HeaderInOneByteWritesAndContentRangeTotal) {
    auto body = Package(300000);
    ServeOptions o;
    o.headerByteByByte = true;
    TestServer server(ServeFile(body, o));
    EXPECT_EQ(Run(server, MD5Hex(body->data(), body->size())), kDownloadOk);

    // The probe answers with Content-Length 1 and the real total in Content-Range.
    auto plain = ServeFile(body);
    const std::string total = std::to_string(body->size());
    TestServer ranged([&](Exchange& ex) {
        if (ex.Index() == 0) {
            ex.Send("HTTP/1.1 206 Partial Content\r\nContent-Length: 1\r\nContent-Range: bytes 0-0/" + total + "\r\n\r\n" + body->substr(0, 1));
        } else {
            plain(ex);
        }
    });
    EXPECT_EQ(Run(ranged, MD5Hex(body->data(), body->size())), kDownloadOk);
    EXPECT_EQ(m_info.totalBytes, 300000);
}

TEST_F(Attempt, ResumesFromPartFilesOfAnEarlierRun) {
    auto body = Package(400000);
    const std::uint64_t have[4] = {1000, 0, 99999, 100000};   // the last one covers its range
    for (int i = 0; i < 4; ++i) {
        WriteFile(File("update.td" + std::to_string(i)), body->substr(i * 100000, have[i]));
    }
    TestServer server(ServeFile(body));
    ASSERT_EQ(Run(server, MD5Hex(body->data(), body->size())), kDownloadOk);
    EXPECT_EQ(ReadFile(File("update.zip")), *body);
    EXPECT_EQ(SegmentStarts(server), (std::vector<std::uint64_t>{1000, 100000, 299999, 400000}));
    // The complete segment asked past the end and got 416.
    EXPECT_TRUE(Diagnostics::Has("Response returned with status code 416\n"));
    EXPECT_EQ(m_info.downloadedBytes, 400000);
}

TEST_F(Attempt, ResumedBytesCountFromTheStart) {
    auto body = Package(400000);
    std::int64_t sum = 0;
    for (int i = 0; i < 4; ++i) {
        WriteFile(File("update.td" + std::to_string(i)), body->substr(i * 100000, 1000 * (i + 1)));
        sum += 1000 * (i + 1);
    }
    DownloadTimings t = settings::downloadTimings.Get();
    t.stallMs = 10000;   // the stop below ends the attempt, not the monitor
    const TimingsOverride timings(settings::downloadTimings, t);
    ServeOptions o;
    o.stallAfter = 0;   // headers only: nothing but the resumed bytes is counted
    TestServer server(ServeFile(body, o));
    m_info.md5 = MD5Hex(body->data(), body->size());
    std::string host = server.Host(), path = "/p";
    std::thread attempt([&] { dltest::PlainDownload(m_transfer, host, path, &m_info, Folder()); });
    std::int64_t seen = 0;
    for (int i = 0; i < 500 && seen != sum; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        seen = m_transfer.Snapshot(m_info).downloadedBytes;
    }
    EXPECT_EQ(seen, sum);
    m_transfer.RequestStop();
    attempt.join();
    // Stopped from outside: the part files stay for the next run.
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(Exists("update.td" + std::to_string(i)));
}

// Server behaviours and what the attempt makes of them: its result, the cause its owner reads,
// and what it says. A server without byte ranges is fetched whole over one connection (after
// the part it has, when part 0 ran out first or was resumed).
TEST_F(Attempt, ServerBehavioursGiveTheirResultsAndCauses) {
    DownloadTimings t = settings::downloadTimings.Get();
    t.stallMs = 3000;   // late answers are no stall here
    const TimingsOverride timings(settings::downloadTimings, t);
    auto body = Package(200000);
    const std::string md5 = MD5Hex(body->data(), body->size());
    const std::string wrong = "0123456789abcdef0123456789abcdef";
    struct Case {
        const char* name;
        ServeOptions options;
        int expected;
        AttemptCause cause;
        std::string said;              // in the diagnostics, exactly once
        std::string expectedMd5;       // empty: the body's
        std::uint64_t resumedPart0 = 0;
    };
    std::vector<Case> cases;
    const auto add = [&](const char* name, int expected, AttemptCause cause, std::string said,
                         const std::function<void(ServeOptions&)>& set, std::string expectedMd5 = "", std::uint64_t resumed = 0) {
        ServeOptions o;
        set(o);
        cases.push_back({name, o, expected, cause, std::move(said), std::move(expectedMd5), resumed});
    };
    const std::string noRanges = "does not do byte ranges";
    add("ranges ignored", kDownloadOk, AttemptCause::kNone, noRanges, [](ServeOptions& o) { o.ignoreRange = true; });
    add("ranges ignored, answered late", kDownloadOk, AttemptCause::kNone, noRanges, [](ServeOptions& o) {
        o.ignoreRange = true;
        o.lateRangesMs = 300;   // part 0 has its quarter before the others answer
    });
    add("ranges ignored, part 0 resumed", kDownloadOk, AttemptCause::kNone, noRanges,
        [](ServeOptions& o) { o.ignoreRange = true; }, "", 1234);
    add("ranges ignored, wrong digest", kDigestMismatch, AttemptCause::kDigest,
        "MD5 digest " + md5 + " received, " + wrong + " expected", [](ServeOptions& o) { o.ignoreRange = true; }, wrong);
    add("wrong digest", kDigestMismatch, AttemptCause::kDigest, "MD5 digest " + md5 + " received, " + wrong + " expected",
        [](ServeOptions&) {}, wrong);
    add("no length", kProbeFailed, AttemptCause::kLength, "", [](ServeOptions& o) { o.noLength = true; });
    add("wrong length", kLengthMismatch, AttemptCause::kLength, "",
        [](ServeOptions& o) { o.lengthOverride = 200100; });   // announces more than it sends
#ifndef _WIN32   // the emulated Windows sockets may report the reset as a plain end of stream
    add("reset in mid body", kLengthMismatch, AttemptCause::kTransfer, "", [](ServeOptions& o) { o.resetAfter = 3000; });
#endif
    add("bad status line", kProbeFailed, AttemptCause::kResponse, "Invalid response\n",
        [](ServeOptions& o) { o.statusLine = "ICY 200 OK"; });
    add("not found", kProbeFailed, AttemptCause::kHttpStatus, "status code 404",
        [](ServeOptions& o) { o.statusLine = "HTTP/1.1 404 Not Found"; });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Diagnostics::Clear();
        if (c.resumedPart0) WriteFile(File("update.td0"), body->substr(0, c.resumedPart0));
        TestServer server(ServeFile(body, c.options));
        CHttpDownload transfer;
        std::string host = server.Host(), path = "/p";
        DownloadInfo info;
        info.md5 = c.expectedMd5.empty() ? md5 : c.expectedMd5;
        EXPECT_EQ(dltest::PlainDownload(transfer, host, path, &info, Folder()), c.expected);
        EXPECT_EQ(static_cast<int>(transfer.LastFailure().cause), static_cast<int>(c.cause)) << transfer.LastFailure().text;
        const std::string said = Diagnostics::Text();
        if (!c.said.empty()) {
            const auto first = said.find(c.said);
            EXPECT_NE(first, std::string::npos) << said;
            EXPECT_EQ(said.find(c.said, first + 1), std::string::npos) << said;
        }
        if (c.expected == kDownloadOk) {
            EXPECT_TRUE(ReadFile(File("update.zip")) == *body);
            EXPECT_EQ(info.downloadedBytes, static_cast<std::int64_t>(body->size()));
            std::filesystem::remove(File("update.zip"));
        }
        EXPECT_FALSE(Exists("update.zip"));
        EXPECT_FALSE(Exists("update.td"));
        EXPECT_TRUE(NoPartFiles());
        if (c.cause == AttemptCause::kDigest) {
            EXPECT_TRUE(zpvtest::LogCapture::HasLine('W', c.said));
        }
    }

    TestServer server(ServeFile(body));
    EXPECT_EQ(Run(server, "0123456789abcdef0123456789abcdef"), kDigestMismatch);
    EXPECT_EQ(m_info.downloadedBytes, 0);   // reset by a failed check
    EXPECT_FALSE(Exists("update.td"));
    EXPECT_EQ(Run(server, md5 + " "), kDigestMismatch);   // no trimming

    // Nothing listens: the probe fails with the error's text. The port is bound here and never
    // listens, so no other program can answer on it.
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor closed(io);
    closed.open(boost::asio::ip::tcp::v4());
    closed.bind({boost::asio::ip::make_address("127.0.0.1"), 0});
    std::string host = "127.0.0.1:" + std::to_string(closed.local_endpoint().port()), path = "/p";
    EXPECT_EQ(dltest::PlainDownload(m_transfer, host, path, &m_info, Folder()), kProbeFailed);
    EXPECT_TRUE(Diagnostics::Has(" exception = "));
    EXPECT_EQ(static_cast<int>(m_transfer.LastFailure().cause), static_cast<int>(AttemptCause::kConnect));
}

TEST_F(Attempt, SilentServersEndWithinTheReadLimit) {
    auto body = Package(100000);
    const std::string md5 = MD5Hex(body->data(), body->size());
    ServeOptions probe;
    probe.silentProbe = true;
    {
        TestServer server(ServeFile(body, probe));
        EXPECT_EQ(Run(server, md5), kProbeFailed);
        EXPECT_LT(m_elapsedMs, 4000);
        EXPECT_EQ(m_info.totalBytes, 0);
    }
    ServeOptions segments;
    segments.silentSegments = true;   // accepted, then nothing before the first body byte
    {
        TestServer server(ServeFile(body, segments));
        // No body chunk ever arrived, so no part file was made: the join cannot open them.
        EXPECT_EQ(Run(server, md5), kPartOpenFailed);
        EXPECT_LT(m_elapsedMs, 4000);
        EXPECT_TRUE(Diagnostics::Has("Exception: "));
        EXPECT_TRUE(NoPartFiles());
    }
}

TEST_F(Attempt, StallInMidBodyIsEndedByTheMonitor) {
    DownloadTimings t = settings::downloadTimings.Get();
    t.ioTimeoutMs = 20000;   // only the monitor can end this attempt quickly
    const TimingsOverride timings(settings::downloadTimings, t);
    auto body = Package(800000);
    ServeOptions o;
    o.stallAfter = 50000;
    TestServer server(ServeFile(body, o));
    EXPECT_EQ(Run(server, MD5Hex(body->data(), body->size())), kLengthMismatch);
    EXPECT_LT(m_elapsedMs, 5000);
    EXPECT_TRUE(NoPartFiles());
    EXPECT_EQ(static_cast<int>(m_transfer.LastFailure().cause), static_cast<int>(AttemptCause::kTransfer));
    // The reads the monitor aborted are its own doing: only the stall is told.
    EXPECT_FALSE(Diagnostics::Has("Exception: ")) << Diagnostics::Text();
}

TEST_F(Attempt, ConnectionResetMidBody) {
    auto body = Package(800000);
    ServeOptions o;
    o.resetAfter = 30000;
    TestServer server(ServeFile(body, o));
    EXPECT_EQ(Run(server, MD5Hex(body->data(), body->size())), kLengthMismatch);
#ifndef _WIN32
    // The emulated Windows sockets may report the reset as a plain end of stream.
    EXPECT_TRUE(Diagnostics::Has("Exception: "));
#endif
}

TEST_F(Attempt, RedirectReplacesHostPortAndPath) {
    auto body = Package(50000);
    TestServer target(ServeFile(body));
    TestServer redirector(ServeText("HTTP/1.1 302 Found\r\nLocation: http://" + target.Host() +
                                    "/pkg/u.zip\r\nContent-Length: 0\r\n\r\n"));
    EXPECT_EQ(Run(redirector, MD5Hex(body->data(), body->size()), "/old"), kRedirected);
    EXPECT_EQ(m_host, target.Host());
    EXPECT_EQ(m_path, "/pkg/u.zip");
    EXPECT_EQ(target.ConnectionCount(), 0);
    EXPECT_EQ(dltest::PlainDownload(m_transfer, m_host, m_path, &m_info, Folder()), kDownloadOk);
    const auto requests = target.Requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests[0].rfind("GET /pkg/u.zip HTTP/1.1\r\nHost: " + target.Host() + "\r\n", 0), 0u);

    // A target without a path fails the probe after replacing the host.
    TestServer bad(ServeText("HTTP/1.1 301 Moved\r\nLocation: http://elsewhere\r\n\r\n"));
    EXPECT_EQ(Run(bad, "x"), kProbeFailed);
    EXPECT_EQ(m_host, "elsewhere");
    EXPECT_EQ(m_path, "/pkg/u.zip");
}

TEST_F(Attempt, ResponseHeaderWithoutEndFailsInsteadOfGrowing) {
    TestServer server([](Exchange& ex) {
        ex.Send("HTTP/1.1 200 OK\r\n");
        const std::string filler = "X-Filler: " + std::string(1000, 'a') + "\r\n";
        for (int i = 0; i < 200; ++i) {
            if (!ex.Send(filler)) return;
        }
        ex.HoldUntilStopped();
    });
    EXPECT_EQ(Run(server, "x"), kProbeFailed);
    EXPECT_LT(m_elapsedMs, 4000);
}

TEST_F(Attempt, StopEndsARunningAttemptPromptly) {
    auto body = Package(4000000);
    ServeOptions o;
    o.writeSize = 4096;
    o.pauseMs = 20;   // slow: about 200 KB/s per connection
    TestServer server(ServeFile(body, o));
    m_info.md5 = MD5Hex(body->data(), body->size());
    std::string host = server.Host(), path = "/p";
    int result = 0;
    std::thread attempt([&] { result = dltest::PlainDownload(m_transfer, host, path, &m_info, Folder()); });
    ASSERT_TRUE(server.WaitConnections(5, 5000));
    // Stopped while the body flows: the parts written so far must be kept.
    ASSERT_TRUE(zpvtest::WaitUntil([&] { return dltest::PartBytes(Folder()) > 0; }, 5000)) << "no body reached a part file";
    const auto t0 = Clock::now();
    m_transfer.RequestStop();
    attempt.join();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(), 1000);
    EXPECT_EQ(result, kProbeFailed);
    EXPECT_FALSE(Exists("update.td"));
    std::uint64_t kept = 0;
    for (int i = 0; i < 4; ++i) kept += CHttpDownload::GetFileSize(Folder() + "update.td" + std::to_string(i));
    EXPECT_GT(kept, 0u);
    // Every later attempt of this object ends at once.
    EXPECT_EQ(dltest::PlainDownload(m_transfer, host, path, &m_info, Folder()), kProbeFailed);
}

TEST_F(Attempt, UnwritableFolderFailsCleanly) {
    auto body = Package(1000);
    TestServer server(ServeFile(body));
    std::string host = server.Host(), path = "/p";
    DownloadInfo info;
    info.md5 = MD5Hex(body->data(), body->size());
    EXPECT_EQ(dltest::PlainDownload(m_transfer, host, path, &info, Folder() + "missing/"), kCreateFailed);
}

TEST_F(Attempt, GapOfAShortPartIsDigestedAsTheZerosOnDisk) {
    // The package has zeros at the end of segment 1; its part file stops where they begin and
    // the server sends nothing more for it, so the join leaves a gap that reads back as zeros.
    std::string data = Noise(400000);
    std::fill(data.begin() + 150000, data.begin() + 200000, '\0');
    auto body = std::make_shared<const std::string>(data);
    WriteFile(File("update.td1"), data.substr(100000, 50000));
    auto plain = ServeFile(body);
    TestServer server([&](Exchange& ex) {
        if (ex.RangeStart() == 150000) {
            ex.Send("HTTP/1.1 206 Partial Content\r\nContent-Length: 0\r\n\r\n");
        } else {
            plain(ex);
        }
    });
    ASSERT_EQ(Run(server, MD5Hex(data.data(), data.size())), kDownloadOk);
    EXPECT_EQ(ReadFile(File("update.zip")), data);
}

// A server that keeps a request open by trickling its header or its body is cut off by the
// overall limits, although every single read gets a byte in time.
TEST_F(Attempt, TrickledHeaderOrBodyEndsWithinTheOverallLimits) {
    DownloadTimings t = settings::downloadTimings.Get();
    t.headerTimeoutMs = 700;
    t.lowSpeedTimeMs = 700;
    t.lowSpeedBytes = 1024;   // reads may wait 1 s, the design's stall window is 300 ms
    const TimingsOverride timings(settings::downloadTimings, t);
    auto body = Package(100000);
    const std::string md5 = MD5Hex(body->data(), body->size());
    const std::string header = "HTTP/1.1 206 Partial Content\r\nContent-Length: 100000\r\n"
                               "Content-Range: bytes 0-99999/100000\r\n\r\n";
    const auto trickleHeader = [header](Exchange& ex) {
        for (char c : header) {
            if (!ex.Send(&c, 1)) return;
            ex.Hold(100);
        }
    };
    {
        TestServer server(trickleHeader);
        EXPECT_EQ(RunBounded(server, md5, 8000), kProbeFailed);
        EXPECT_LT(m_elapsedMs, 2000);
        EXPECT_TRUE(Diagnostics::Has(" exception = response header"));
    }
    {
        auto plain = ServeFile(body);
        TestServer server([&](Exchange& ex) {
            if (ex.Index() == 0) plain(ex); else trickleHeader(ex);
        });
        EXPECT_EQ(RunBounded(server, md5, 8000), kPartOpenFailed);   // no segment got a body
        EXPECT_LT(m_elapsedMs, 2000);
    }
    ServeOptions o;
    o.writeSize = 1;
    o.pauseMs = 100;   // 10 bytes a second on each connection
    Diagnostics::Clear();
    TestServer server(ServeFile(body, o));
    EXPECT_EQ(RunBounded(server, md5, 8000), kLengthMismatch);
    EXPECT_LT(m_elapsedMs, 2500);
    EXPECT_TRUE(NoPartFiles());
    EXPECT_FALSE(Diagnostics::Has("Exception: ")) << Diagnostics::Text();
}

// A part file that cannot be written (full disk) or opened ends the attempt at once; the
// part files stay for the next attempt, and bytes not written are not counted.
TEST_F(Attempt, APartFileThatCannotBeWrittenEndsTheAttemptAtOnce) {
    auto body = Package(4000000);
    const std::string md5 = MD5Hex(body->data(), body->size());
    ServeOptions o;
    o.writeSize = 4096;
    o.pauseMs = 20;   // about 200 KB/s per connection: 5 s per segment
    TestServer server(ServeFile(body, o));
    std::filesystem::create_directory(File("update.td2"));
    EXPECT_EQ(RunBounded(server, md5, 10000), kCreateFailed);
    EXPECT_LT(m_elapsedMs, 2000);
    EXPECT_TRUE(Diagnostics::Has("update.td2"));
    EXPECT_FALSE(Diagnostics::Has("Exception: ")) << Diagnostics::Text();
    EXPECT_TRUE(std::filesystem::is_directory(File("update.td2")));
#ifndef _WIN32
    std::filesystem::remove(File("update.td2"));
    std::filesystem::remove(File("update.td1"));
    std::filesystem::create_symlink("/dev/full", File("update.td1"));   // every write: no space left
    EXPECT_EQ(RunBounded(server, md5, 10000), kCreateFailed);
    EXPECT_LT(m_elapsedMs, 2000);
    EXPECT_TRUE(Diagnostics::Has("No space left on device"));
    std::int64_t kept = 0;
    for (const char* name : {"update.td0", "update.td2", "update.td3"}) {
        kept += static_cast<std::int64_t>(CHttpDownload::GetFileSize(Folder() + name));
    }
    EXPECT_GT(kept, 0);
    EXPECT_LE(m_info.downloadedBytes, kept);
#endif
}

// Progress starts from the bytes resumed for each attempt and never passes the length.
TEST_F(Attempt, EachAttemptCountsFromTheBytesResumedForIt) {
    auto body = Package(400000);
    const std::string md5 = MD5Hex(body->data(), body->size());
    std::atomic<bool> dropSecond{true};
    auto plain = ServeFile(body);
    TestServer server([&](Exchange& ex) {
        if (dropSecond.load() && ex.RangeStart() == 100000) return;   // no answer: no part file
        plain(ex);
    });
    EXPECT_EQ(Run(server, md5), kPartOpenFailed);
    EXPECT_EQ(m_info.downloadedBytes, 300000);
    dropSecond = false;
    EXPECT_EQ(dltest::PlainDownload(m_transfer, m_host, m_path, &m_info, Folder()), kDownloadOk);
    EXPECT_EQ(m_info.downloadedBytes, 400000);

    // A part file longer than its range (left by an earlier run) counts only its range.
    std::filesystem::remove(File("update.zip"));
    WriteFile(File("update.td0"), body->substr(0, 150000));
    EXPECT_EQ(dltest::PlainDownload(m_transfer, m_host, m_path, &m_info, Folder()), kDownloadOk);
    EXPECT_EQ(m_info.downloadedBytes, 400000);
    EXPECT_EQ(ReadFile(File("update.zip")), *body);
}

// Redirect targets: relative ones stay on this host and port; https:// switches to TLS; control
// characters and other schemes fail the attempt and leave host and path as they were.
TEST_F(Attempt, RedirectTargetsAreCheckedAndRelativeOnesResolved) {
    auto body = Package(50000);
    const std::string md5 = MD5Hex(body->data(), body->size());
    auto plain = ServeFile(body);
    TestServer server([&](Exchange& ex) {
        if (ex.Path() == "/old/u.zip") ex.Send("HTTP/1.1 302 Found\r\nLocation: /new/a.zip\r\n\r\n");
        else if (ex.Path() == "/new/a.zip?x=1") ex.Send("HTTP/1.1 302 Found\r\nLocation: b.zip\r\n\r\n");
        else plain(ex);
    });
    EXPECT_EQ(Run(server, md5, "/old/u.zip"), kRedirected);
    EXPECT_EQ(m_host, server.Host());
    EXPECT_EQ(m_path, "/new/a.zip");
    EXPECT_EQ(Run(server, md5, "/new/a.zip?x=1"), kRedirected);
    EXPECT_EQ(m_path, "/new/b.zip");
    EXPECT_EQ(m_transfer.Download(m_scheme, m_host, m_path, &m_info, Folder()), kDownloadOk);

    TestServer toTls(ServeText("HTTP/1.1 301 Moved\r\nLocation: HTTPS://secure.example/p.zip#f\r\n\r\n"));
    EXPECT_EQ(Run(toTls, md5, "/orig"), kRedirected);
    EXPECT_TRUE(m_scheme == UrlScheme::kHttps);
    EXPECT_EQ(m_host, "secure.example");
    EXPECT_EQ(m_path, "/p.zip");

    const std::string bad[] = {"http://" + server.Host() + "/p\rX-Injected: 1",
                               "http://" + server.Host() + "/p\x01q", "ftp://" + server.Host() + "/p",
                               "https:" + server.Host() + "/p"};
    for (const std::string& location : bad) {
        SCOPED_TRACE(location);
        TestServer redirector(ServeText("HTTP/1.1 302 Found\r\nLocation: " + location + "\r\n\r\n"));
        EXPECT_EQ(Run(redirector, md5, "/orig"), kProbeFailed);
        EXPECT_EQ(m_host, redirector.Host());
        EXPECT_EQ(m_path, "/orig");
        EXPECT_TRUE(m_scheme == UrlScheme::kHttp);
    }
    EXPECT_TRUE(Diagnostics::Has("control characters"));
    EXPECT_TRUE(Diagnostics::Has("ftp://"));
    EXPECT_EQ(Diagnostics::Text().find('\r'), std::string::npos);
}

// What goes to standard output is logged at WARN as well, for programs without a console.
TEST_F(Attempt, DiagnosticsAreAlsoLoggedAtWarn) {
    TestServer server(ServeText("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"));
    EXPECT_EQ(Run(server, "x"), kProbeFailed);
    EXPECT_TRUE(Diagnostics::Has("Response returned with status code 404\n"));
    EXPECT_TRUE(zpvtest::LogCapture::HasLine('W', "Response returned with status code 404"));
}

// The join looks at the stop flag between blocks: a long join ends at once.
TEST_F(Attempt, StopDuringTheJoinEndsItPromptly) {
    // A complete last part of 256 MiB (sparse: no disk space), three empty ones: the join
    // copies the part and digests the gap of zeros before it, which takes seconds.
    const std::uint32_t length = 1u << 30;
    WriteFile(File("update.td3"), "");
    std::filesystem::resize_file(File("update.td3"), length / 4);
    TestServer server([&](Exchange& ex) {
        if (ex.Index() == 0) {
            ex.Send("HTTP/1.1 206 Partial Content\r\nContent-Length: 1\r\nContent-Range: bytes 0-0/" +
                    std::to_string(length) + "\r\n\r\n");
        } else if (ex.RangeStart() >= length) {
            ex.Send("HTTP/1.1 416 Requested Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n");
        } else {
            ex.Send("HTTP/1.1 206 Partial Content\r\nContent-Length: 0\r\n\r\n");
        }
    });
    std::string host = server.Host(), path = "/p";
    m_info.md5 = "00000000000000000000000000000000";
    int result = 0;
    std::thread attempt([&] { result = dltest::PlainDownload(m_transfer, host, path, &m_info, Folder()); });
    for (int i = 0; i < 2000 && !Exists("update.td"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const auto t0 = Clock::now();
    m_transfer.RequestStop();
    attempt.join();
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(), 1000);
    EXPECT_NE(result, kDownloadOk);
    EXPECT_FALSE(Exists("update.td"));
    EXPECT_FALSE(Exists("update.zip"));
}

// A verified package that cannot be put in place stays as update.td, and the next attempt
// takes it without a request; a leftover with another digest is downloaded over. On Windows a
// file held for a moment (by a virus scanner, say) is waited for.
TEST_F(Attempt, AVerifiedPackageNotPutInPlaceIsKeptForTheNextAttempt) {
    DownloadTimings t = settings::downloadTimings.Get();
    t.holdGiveUpMs = 300;
    const TimingsOverride timings(settings::downloadTimings, t);
    auto body = Package(100000);
    const std::string md5 = MD5Hex(body->data(), body->size());
    std::filesystem::create_directories(File("update.zip") / "taken");   // stands in for a lasting hold
    {
        TestServer server(ServeFile(body));
        EXPECT_EQ(Run(server, md5), kCreateFailed);
        EXPECT_EQ(ReadFile(File("update.td")), *body);
    }
    std::filesystem::remove_all(File("update.zip"));
    TestServer server(ServeFile(body));
    EXPECT_EQ(Run(server, md5), kDownloadOk);
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_EQ(ReadFile(File("update.zip")), *body);
    EXPECT_FALSE(Exists("update.td"));

    WriteFile(File("update.td"), body->substr(1));
    EXPECT_EQ(Run(server, md5), kDownloadOk);
    EXPECT_EQ(server.Requests().size(), 5u);
    EXPECT_EQ(ReadFile(File("update.zip")), *body);
#ifdef _WIN32
    t.holdGiveUpMs = 10000;
    const TimingsOverride patient(settings::downloadTimings, t);
    HANDLE held = CreateFileW(File("update.zip").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::thread scanner([held] {
        Sleep(1000);
        CloseHandle(held);
    });
    EXPECT_EQ(Run(server, md5), kDownloadOk);
    EXPECT_GE(m_elapsedMs, 900);
    scanner.join();
#endif
}

// The retries of a held move: until it passes, until the give-up time, or until a stop.
TEST(MoveIntoPlace, RetriesOnlyWhileHeldAndWithinItsBounds) {
    static int heldFor = 0, calls = 0;
    static MoveResult last = MoveResult::kMoved;
    const MoveFn fake = [](const std::filesystem::path&, const std::filesystem::path&) {
        return ++calls <= heldFor ? MoveResult::kHeld : last;
    };
    struct Case {
        int heldFor;
        MoveResult last;
        bool stop;
        MoveResult expected;
        int minCalls, maxCalls;
    };
    const Case cases[] = {{3, MoveResult::kMoved, false, MoveResult::kMoved, 4, 4},
                          {0, MoveResult::kFailed, false, MoveResult::kFailed, 1, 1},
                          {1000, MoveResult::kMoved, false, MoveResult::kHeld, 3, 8},   // 50+100+200+... ms to 400
                          {1000, MoveResult::kMoved, true, MoveResult::kHeld, 1, 2}};
    for (const Case& c : cases) {
        heldFor = c.heldFor;
        last = c.last;
        calls = 0;
        const auto t0 = Clock::now();
        EXPECT_EQ(MoveIntoPlace("a", "b", 400, [&] { return c.stop; }, fake), c.expected) << c.heldFor;
        EXPECT_GE(calls, c.minCalls);
        EXPECT_LE(calls, c.maxCalls);
        EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1500));
    }
}
