// Downloads from the real nginx started by the test command (tools/services.sh), and a
// resume across runs: the fetch tool is killed in mid-transfer and run again.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "download/http_download.h"
#include "test_server.h"
#include "test_util.h"

using zpvtest::Noise;
using zpvtest::ReadFile;

namespace {
namespace asio = boost::asio;

class Nginx : public dltest::NginxFixture {
protected:
    void SetUp() override {
        NginxFixture::SetUp();
        m_port = zpvtest::Env("ZPV_HTTP_PORT");
        ASSERT_FALSE(m_port.empty()) << "ZPV_HTTP_PORT is not set: start nginx first with `. tools/services.sh start`";
    }
    std::string NginxHost() const { return "127.0.0.1:" + m_port; }

    std::string m_port;
};

// Relays each connection to nginx unchanged; after `limit` response bytes it keeps the
// connection open and silent (limit < 0: no limit).
TestServer::Handler Relay(std::string nginxPort, long long limit) {
    return [nginxPort, limit](Exchange& ex) {
        asio::io_context io;
        asio::ip::tcp::socket up(io);
        boost::system::error_code ec;
        up.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"),
                                           static_cast<unsigned short>(std::stoi(nginxPort))), ec);
        if (ec) return;
        asio::write(up, asio::buffer(ex.Request()), ec);
        std::vector<char> buf(64 * 1024);
        long long sent = 0;
        for (;;) {
            std::size_t n = up.read_some(asio::buffer(buf), ec);
            if (n == 0) return;
            if (limit >= 0 && sent + static_cast<long long>(n) >= limit) {
                ex.Send(buf.data(), static_cast<std::size_t>(limit - sent));
                ex.HoldUntilStopped();
                return;
            }
            if (!ex.Send(buf.data(), n)) return;
            sent += static_cast<long long>(n);
        }
    };
}

}  // namespace

TEST_F(Nginx, FullDownloadVerifies) {
    const std::string body = Noise(6 * 1024 * 1024 + 7, 3);
    const std::string md5 = Publish(body);
    CHttpDownload transfer;
    std::string host = NginxHost(), path = "/" + m_name;
    DownloadInfo info;
    info.md5 = md5;
    ASSERT_EQ(dltest::PlainDownload(transfer, host, path, &info, Folder()), kDownloadOk);
    EXPECT_EQ(ReadFile(File("update.zip")), body);
    EXPECT_EQ(info.totalBytes, static_cast<std::int64_t>(body.size()));

    // A missing package: nginx's 404 fails the probe.
    path = "/missing-" + m_name;
    EXPECT_EQ(dltest::PlainDownload(transfer, host, path, &info, Folder()), kProbeFailed);
    EXPECT_TRUE(dltest::Diagnostics::Has("Response returned with status code 404\n"));
}

// nginx with max_ranges 0 answers every range with 200 and the whole file.
TEST_F(Nginx, ServerWithoutRangesIsFetchedWhole) {
    const std::string body = Noise(3 * 1024 * 1024 + 5, 4);
    CHttpDownload transfer;
    std::string host = NginxHost(), path = "/noranges/" + m_name;
    DownloadInfo info;
    info.md5 = Publish(body);
    ASSERT_EQ(dltest::PlainDownload(transfer, host, path, &info, Folder()), kDownloadOk);
    EXPECT_EQ(ReadFile(File("update.zip")), body);
    EXPECT_TRUE(dltest::Diagnostics::Has("does not do byte ranges"));
}

TEST_F(Nginx, ResumeAfterTheFetchToolWasKilledMidTransfer) {
    const std::uint32_t size = 8 * 1024 * 1024 + 3;
    const std::string body = Noise(size, 5);
    const std::string md5 = Publish(body);
    const long long limit = 700 * 1024;   // response bytes per connection before the relay holds

    std::vector<std::uint64_t> expected;
    {
        TestServer relay(Relay(m_port, limit));
        expected = dltest::FetchKilledPartWay(
            {"-url=http://" + relay.Host() + "/" + m_name, "-md5=" + md5, "-dir=" + Folder(), "-quiet=1"}, Folder(), size);
        ASSERT_EQ(expected.size(), 4u);
    }

    TestServer recorder(Relay(m_port, -1));
    const pid_t pid = dltest::SpawnFetch({"-url=http://" + recorder.Host() + "/" + m_name, "-md5=" + md5, "-dir=" + Folder(), "-quiet=1"});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(dltest::WaitExit(pid), 0);
    EXPECT_EQ(ReadFile(File("update.zip")), body);
    for (int k = 0; k < 4; ++k) EXPECT_FALSE(Exists("update.td" + std::to_string(k)));

    std::vector<std::uint64_t> seen;
    const auto requests = recorder.Requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_NE(requests[0].find("\r\nRange: bytes=0- \r\n"), std::string::npos);
    for (std::size_t i = 1; i < requests.size(); ++i) {
        seen.push_back(std::stoull(requests[i].substr(requests[i].find("Range: bytes=") + 13)));
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, expected);
}
