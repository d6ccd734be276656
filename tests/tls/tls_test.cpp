// TLS transports against the nginx of tools/services.sh, which serves the same files over TLS
// with the certificates of tools/test-certs.sh (one port per kind). Natively the test root is
// given as CA file; under Wine it is in the prefix's root store (tools/wine-prefix.sh).
// Whole downloads over TLS (good, refused, silent, foreign and stopped servers) are the
// download tests' (tests/download/tls_download_test.cpp); these cases show what only the
// transport on its own can: short reads, long writes, refusal by name, old protocols and the
// transport's own limits beneath the connection's.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio.hpp>

#include "http/http_connection.h"
#include "http/http_header.h"
#include "http/transport.h"
#include "connection_stream.h"
#include "tests/support/support.h"

namespace {
namespace asio = boost::asio;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;
using zpvtest::Env;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The same limit for every connect, write and read of a connection.
ConnectionLimits Limits(std::uint32_t ms) {
    ConnectionLimits t;
    t.connectTimeoutMs = t.ioTimeoutMs = t.headerTimeoutMs = ms;
    return t;
}

// One connection with a TLS transport on it, as the HTTP code will hold them.
struct Session {
    Session(StopFlags stop, std::uint32_t timeoutMs) : connection(stop, Limits(timeoutMs)), raw(connection) {}
    HttpConnection connection;
    ConnectionStream raw;
    std::unique_ptr<Transport> tls;
};

// A port that accepts connections (the kernel completes them) and never says a word.
class SilentServer {
public:
    SilentServer() : m_acceptor(m_io, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {}
    std::string Port() const { return std::to_string(m_acceptor.local_endpoint().port()); }

private:
    asio::io_context m_io;
    asio::ip::tcp::acceptor m_acceptor;
};

class Tls : public ::testing::Test {
protected:
    void SetUp() override {
        m_www = Env("ZPV_WWW");
        m_certs = Env("ZPV_CERTS");
        ASSERT_FALSE(m_www.empty() || m_certs.empty() || Env("ZPV_HTTPS_PORT").empty())
            << "start nginx first with `. tools/services.sh start`";
        m_settings.caFile = m_certs + "/ca.pem";
    }

    std::unique_ptr<Session> Open(const std::string& host, const std::string& port, error_code& ec,
                                  std::uint32_t timeoutMs = 5000, StopFlags stop = {}) {
        auto s = std::make_unique<Session>(stop, timeoutMs);
        try {
            s->connection.Connect(host + ":" + port);
        } catch (const boost::system::system_error& e) {
            ec = e.code();
            return s;
        }
        s->tls = MakeTlsTransport(s->raw, m_settings);
        s->tls->Handshake(host, ec);
        return s;
    }

    // GET of path over an open session; the whole response as received.
    static std::string Get(Transport& t, const std::string& path, const std::string& host) {
        const std::string request = BuildRequest(path, host, 0);
        error_code ec;
        t.WriteAll(request.data(), request.size(), ec);
        EXPECT_FALSE(ec) << ec.message();
        std::string response;
        char buffer[5000];   // smaller than a record: decrypted data waits for the next read
        for (;;) {
            const std::size_t n = t.ReadSome(buffer, sizeof buffer, ec);
            if (n == 0) break;
            response.append(buffer, n);
        }
        EXPECT_EQ(ec, asio::error::eof) << ec.message();
        return response;
    }

    static std::string Body(const std::string& response) {
        const std::size_t end = response.find("\r\n\r\n");
        return end == std::string::npos ? std::string() : response.substr(end + 4);
    }

    std::string m_www, m_certs;
    TlsSettings m_settings;
};

// One write of many records' worth arrives whole and in order (nginx stores the body).
TEST_F(Tls, LongWriteArrivesWhole) {
    const std::string port = Env("ZPV_HTTPS_PORT");
    const std::string name = "zpv-tls-put-" + std::to_string(Clock::now().time_since_epoch().count());
    const std::string body = zpvtest::Noise(100 * 1024 + 3, 12345);
    const std::string request = "PUT /upload/" + name + " HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                                "\r\nContent-Length: " + std::to_string(body.size()) +
                                "\r\nConnection: close\r\n\r\n" + body;
    error_code ec;
    auto s = Open("127.0.0.1", port, ec);
    ASSERT_FALSE(ec) << ec.message();
    s->tls->WriteAll(request.data(), request.size(), ec);
    ASSERT_FALSE(ec) << ec.message();
    char buffer[1024];
    const std::size_t n = s->tls->ReadSome(buffer, sizeof buffer, ec);
    EXPECT_EQ(std::string(buffer, n).compare(0, 13, "HTTP/1.1 201 "), 0) << std::string(buffer, n);
    const std::filesystem::path stored = std::filesystem::path(m_www) / "upload" / name;
    std::ifstream in(stored, std::ios::binary);
    const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(got == body) << got.size() << " of " << body.size() << " bytes";
    in.close();
    std::filesystem::remove(stored);
}

// Passes reads through until a byte budget is spent, then reports the end of the stream: a
// peer that closes in the middle of a record.
class CutStream : public RawStream {
public:
    explicit CutStream(RawStream& inner) : m_inner(inner) {}
    void WriteAll(const char* data, std::size_t size, error_code& ec) override { m_inner.WriteAll(data, size, ec); }
    std::size_t ReadSome(char* buffer, std::size_t size, error_code& ec) override {
        if (m_budget == 0) {
            ec = asio::error::eof;
            return 0;
        }
        const std::size_t n = m_inner.ReadSome(buffer, std::min(size, m_budget), ec);
        if (m_budget != kUnlimited) m_budget -= n;
        return n;
    }
    static constexpr std::size_t kUnlimited = static_cast<std::size_t>(-1);
    std::size_t m_budget = kUnlimited;

private:
    RawStream& m_inner;
};

TEST_F(Tls, PeerClosingMidRecordEndsTheStream) {
    const std::string name = "zpv-tls-cut-" + std::to_string(Clock::now().time_since_epoch().count()) + ".bin";
    const std::string body = zpvtest::Noise(200 * 1024, 12345);
    {
        std::ofstream out(std::filesystem::path(m_www) / name, std::ios::binary);
        out.write(body.data(), static_cast<std::streamsize>(body.size()));
    }
    const std::string port = Env("ZPV_HTTPS_PORT");
    Session s({}, 5000);
    s.connection.Connect("127.0.0.1:" + port);
    CutStream cut(s.raw);
    auto tls = MakeTlsTransport(cut, m_settings);
    error_code ec;
    tls->Handshake("127.0.0.1", ec);
    ASSERT_FALSE(ec) << ec.message();
    cut.m_budget = 40000;   // ends inside the third record of the response
    const std::string response = Get(*tls, "/" + name, "127.0.0.1:" + port);
    const std::string got = Body(response);
    EXPECT_GT(got.size(), 0u);
    EXPECT_LT(got.size(), 40000u);
    EXPECT_TRUE(got == body.substr(0, got.size()));
    std::filesystem::remove(std::filesystem::path(m_www) / name);
}

TEST_F(Tls, RefusedCertificatesNameTheirReason) {
    const struct {
        const char* portVariable;
        const char* reason;
    } cases[] = {{"ZPV_HTTPS_UNTRUSTED_PORT", "untrusted"},
                 {"ZPV_HTTPS_EXPIRED_PORT", "expired"},
                 {"ZPV_HTTPS_WRONGNAME_PORT", "wrong name"}};
    for (const auto& c : cases) {
        for (const std::string host : {"127.0.0.1", "localhost"}) {
            SCOPED_TRACE(std::string(c.reason) + " " + host);
            error_code ec;
            const auto start = Clock::now();
            auto s = Open(host, Env(c.portVariable), ec);
            EXPECT_EQ(ec.category(), TlsCategory());
            EXPECT_EQ(ec.message(), c.reason);
            EXPECT_LT(MsSince(start), 3000);
            // Nothing goes out on a refused session.
            const char get[] = "GET / HTTP/1.1\r\n\r\n";
            s->tls->WriteAll(get, sizeof get - 1, ec);
            EXPECT_TRUE(ec);
        }
    }
}

// A redirect to "https://:port/..." names no host: no certificate can be checked for it, and
// no refusal may name an empty host.
TEST_F(Tls, EmptyHostIsRefusedBeforeTheConnection) {
    HttpConnection connection({}, Limits(3000));
    try {
        connection.Connect(":" + Env("ZPV_HTTPS_PORT"), UrlScheme::kHttps);
        ADD_FAILURE() << "connected";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), MakeTlsError(TlsError::kHandshakeFailed)) << e.what();
        EXPECT_EQ(std::string(e.what()).find("certificate"), std::string::npos) << e.what();
    }
}

// A server that speaks nothing newer than TLS 1.1 (with a good certificate).
TEST_F(Tls, OldProtocolRefused) {
    error_code ec;
    auto s = Open("localhost", Env("ZPV_HTTPS_OLD_PORT"), ec);
    EXPECT_EQ(ec, MakeTlsError(TlsError::kHandshakeFailed)) << ec.message();
}

// A server that accepts and never answers the greeting is bounded by the per-read limit.
TEST_F(Tls, SilentHandshakeEndsWithinTheLimit) {
    SilentServer server;
    error_code ec;
    const auto start = Clock::now();
    Open("127.0.0.1", server.Port(), ec, 400);
    const long long ms = MsSince(start);
    EXPECT_EQ(ec, asio::error::timed_out) << ec.message();
    EXPECT_GE(ms, 350);
    EXPECT_LT(ms, 2500);
}

// A peer that trickles a handshake record one byte at a time: every read returns in time,
// and the handshake as a whole still ends at its own limit.
class TrickleStream : public RawStream {
public:
    void WriteAll(const char*, std::size_t, error_code& ec) override { ec.clear(); }
    std::size_t ReadSome(char* buffer, std::size_t size, error_code& ec) override {
        ec.clear();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        // A handshake record of 16 KiB announced, holding a server greeting of nearly as much.
        static const unsigned char kRecordStart[] = {0x16, 0x03, 0x03, 0x40, 0x00, 0x02, 0x00, 0x3f, 0xfc};
        *buffer = static_cast<char>(m_sent < sizeof kRecordStart ? kRecordStart[m_sent] : 0);
        ++m_sent;
        return size > 0 ? 1 : 0;
    }
    std::size_t m_sent = 0;
};

TEST_F(Tls, TrickledHandshakeEndsAtItsOwnLimit) {
    TrickleStream raw;
    TlsSettings settings = m_settings;
    settings.handshakeTimeoutMs = 400;
    auto tls = MakeTlsTransport(raw, settings);
    error_code ec;
    const auto start = Clock::now();
    tls->Handshake("localhost", ec);
    const long long ms = MsSince(start);
    EXPECT_EQ(ec, asio::error::timed_out) << ec.message();
    EXPECT_GE(ms, 380);
    EXPECT_LT(ms, 1500);
    EXPECT_GT(raw.m_sent, 5u);
}

}  // namespace
