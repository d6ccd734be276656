#include "http/http_connection.h"

#include <algorithm>

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include "http/http_header.h"
#include "http/name_lookup.h"

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

// What the transport runs on: this connection's bounded socket operations.
class HttpConnection::Socket : public RawStream {
public:
    explicit Socket(HttpConnection& owner) : m_owner(owner) {}
    void WriteAll(const char* data, std::size_t size, error_code& ec) override { m_owner.SocketWrite(data, size, ec); }
    std::size_t ReadSome(char* buffer, std::size_t size, error_code& ec) override {
        return m_owner.SocketRead(buffer, size, ec);
    }

private:
    HttpConnection& m_owner;
};

namespace {
// Reasons that name what is wrong with the server's certificate (rather than with the session).
bool IsCertificateRefusal(const error_code& ec) {
    if (ec.category() != TlsCategory()) return false;
    switch (static_cast<TlsError>(ec.value())) {
        case TlsError::kUntrusted:
        case TlsError::kExpired:
        case TlsError::kWrongName:
        case TlsError::kBadCertificate:
            return true;
        default:
            return false;
    }
}
}  // namespace

HttpConnection::HttpConnection(StopFlags stop, const ConnectionLimits& limits, std::atomic<std::uint64_t>* received,
                               TlsContextCache* tls)
    : m_stop(stop),
      m_limits(limits),
      m_received(received),
      m_tls(tls),
      m_requestStart(Clock::now()),
      m_socket(m_io),
      m_raw(std::make_unique<Socket>(*this)),
      m_transport(MakePlainTransport(*m_raw)) {}

HttpConnection::~HttpConnection() {
    m_transport.reset();   // it may refer to the socket stream
    error_code ignored;
    m_socket.close(ignored);
}

// Starts one operation and runs this connection's own completion queue until it has
// completed. The wait is cut into short slices so that a stop request or the deadline closes
// the socket, which completes the operation with an error.
template <class StartOp>
void HttpConnection::Await(StartOp start, Clock::time_point deadline, error_code& ec, std::size_t& bytes) {
    bytes = 0;
    if (m_stop.Raised()) {
        ec = asio::error::operation_aborted;
        return;
    }
    bool done = false;
    start([&](const error_code& e, std::size_t n) {
        ec = e;
        bytes = n;
        done = true;
    });
    error_code reason;
    m_io.restart();
    while (!done) {
        if (!reason) {
            if (m_stop.Raised()) {
                reason = asio::error::operation_aborted;
            } else if (Clock::now() >= deadline) {
                reason = asio::error::timed_out;
            }
            if (reason) {
                error_code ignored;
                m_socket.close(ignored);
            }
        }
        m_io.run_one_for(std::chrono::milliseconds(kStopPollMs));
        if (m_io.stopped()) m_io.restart();
    }
    if (reason && ec) ec = reason;
}

void HttpConnection::Connect(const std::string& host, UrlScheme scheme) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_limits.connectTimeoutMs);
    std::string name, port;
    SplitHostPort(host, scheme, name, port);
    // A certificate is checked against the host's name: without one there is nothing to check.
    if (scheme == UrlScheme::kHttps && name.empty()) {
        throw boost::system::system_error(MakeTlsError(TlsError::kHandshakeFailed), "TLS without a host name");
    }
    NameLookup lookup(name, port);
    while (!lookup.WaitFor(kStopPollMs)) {
        if (m_stop.Raised()) throw ConnectError(ConnectError::kLookup, asio::error::operation_aborted, "resolve");
        if (Clock::now() >= deadline) throw ConnectError(ConnectError::kLookup, asio::error::timed_out, "resolve");
    }
    error_code ec;
    const Endpoints endpoints = lookup.Result(ec);
    if (ec) throw ConnectError(ConnectError::kLookup, ec, "resolve");
    std::size_t unused = 0;
    Await([&](auto handler) {
        asio::async_connect(m_socket, endpoints,
                            [handler](const error_code& e, const tcp::endpoint&) { handler(e, 0); });
    }, deadline, ec, unused);
    if (ec) throw ConnectError(ConnectError::kConnect, ec, "connect");
    if (scheme == UrlScheme::kHttps) StartTls(name);
}

// The handshake is the first part of the request: the header limit counts from its start and
// bounds every socket operation of it, so a server that trickles its handshake and then its
// header gets no more time than one that trickles a plain header.
void HttpConnection::StartTls(const std::string& name) {
    m_requestStarted = true;
    m_requestStart = Clock::now();
    TlsSettings options;
    options.handshakeTimeoutMs = m_limits.headerTimeoutMs;
#ifndef _WIN32
    options.caFile = settings::tlsCaFile.Get();
#endif
    if (m_tls) options.context = m_tls->Get(options.caFile);
    std::unique_ptr<Transport> tls = MakeTlsTransport(*m_raw, options);
    error_code ec;
    m_phaseDeadline = m_requestStart + std::chrono::milliseconds(m_limits.headerTimeoutMs);
    tls->Handshake(name, ec);
    m_phaseDeadline = Clock::time_point::max();
    if (ec && IsCertificateRefusal(ec)) throw ConnectError(ConnectError::kCertificate, ec, "certificate of " + name + " refused");
    if (ec) throw ConnectError(ConnectError::kTls, ec, "TLS handshake with " + name);
    m_transport = std::move(tls);
}

HttpConnection::Clock::time_point HttpConnection::SocketDeadline() const {
    return std::min(Clock::now() + std::chrono::milliseconds(m_limits.ioTimeoutMs), m_phaseDeadline);
}

void HttpConnection::SocketWrite(const char* data, std::size_t size, error_code& ec) {
    ec.clear();
    std::size_t n = 0;
    Await([&](auto handler) { asio::async_write(m_socket, asio::buffer(data, size), handler); }, SocketDeadline(), ec, n);
}

std::size_t HttpConnection::SocketRead(char* buffer, std::size_t size, error_code& ec) {
    std::size_t n = 0;
    ec.clear();
    Await([&](auto handler) { m_socket.async_read_some(asio::buffer(buffer, size), handler); }, SocketDeadline(), ec, n);
    return ec ? 0 : n;
}

void HttpConnection::Write(const std::string& data) {
    if (!m_requestStarted) {
        m_requestStarted = true;
        m_requestStart = Clock::now();
    }
    error_code ec;
    m_transport->WriteAll(data.data(), data.size(), ec);
    if (ec) throw boost::system::system_error(ec, "write");
}

std::size_t HttpConnection::ReadSome(char* buffer, std::size_t size, error_code& ec) {
    ec.clear();
    const std::size_t n = m_transport->ReadSome(buffer, size, ec);
    if (n == 0) return 0;
    if (m_received) m_received->fetch_add(n, std::memory_order_relaxed);
    return n;
}

bool HttpConnection::ReadHeader(std::string& text, std::size_t& headerEnd, char* buffer, std::size_t size,
                                error_code& ec) {
    m_phaseDeadline = m_requestStart + std::chrono::milliseconds(m_limits.headerTimeoutMs);
    struct PhaseEnd {
        Clock::time_point& deadline;
        ~PhaseEnd() { deadline = Clock::time_point::max(); }
    } phaseEnd{m_phaseDeadline};
    HeaderCollector collector;
    for (;;) {
        const std::size_t n = ReadSome(buffer, size, ec);
        if (n == 0) return false;
        const HeaderCollector::State state = collector.Add(buffer, n);
        if (state == HeaderCollector::kComplete) {
            text.swap(collector.Text());
            headerEnd = collector.HeaderEnd();
            return true;
        }
        if (state == HeaderCollector::kTooLarge) {
            ec = asio::error::message_size;
            return false;
        }
    }
}
