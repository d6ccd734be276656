// One TCP connection carrying one HTTP request, plain or inside TLS. Every wait (name lookup,
// connect, TLS handshake, write, read) ends within its time limit and as soon as the owner
// raises a stop flag. All socket I/O of the engine goes through this class: the transport
// (plain, or TLS) sits between the HTTP reads and writes and the bounded socket operations.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

#include "app/core/url_scheme.h"
#include "http/connection_limits.h"
#include "http/transport.h"

// A failed Connect, with the step that failed: the owner reports a name that cannot be looked
// up, a server that cannot be reached and a refused certificate differently.
class ConnectError : public boost::system::system_error {
public:
    enum Stage { kLookup, kConnect, kCertificate, kTls };
    ConnectError(Stage stage, const boost::system::error_code& ec, const std::string& what)
        : boost::system::system_error(ec, what), m_stage(stage) {}
    Stage GetStage() const { return m_stage; }

private:
    Stage m_stage;
};

// Flags that end every wait of a connection; either may be null.
struct StopFlags {
    const std::atomic<bool>* a = nullptr;
    const std::atomic<bool>* b = nullptr;
    bool Raised() const {
        return (a && a->load(std::memory_order_relaxed)) || (b && b->load(std::memory_order_relaxed));
    }
};

class HttpConnection {
public:
    // received, when given, counts every byte read above the transport (the attempt's speed
    // watch reads it); tls, when given, holds the TLS configuration shared with the task's other
    // connections.
    HttpConnection(StopFlags stop, const ConnectionLimits& limits, std::atomic<std::uint64_t>* received = nullptr,
                   TlsContextCache* tls = nullptr);
    ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    // Looks up host ("name" or "name:port"; port 80, or 443 for https, by default) and connects
    // to the first endpoint that accepts, both within the connect limit. For https it then sets
    // up TLS for name: the handshake counts as the start of the request, so the handshake and
    // the response header together must end within the header limit. Throws ConnectError; a
    // refused certificate carries a TlsCategory code.
    void Connect(const std::string& host, UrlScheme scheme = UrlScheme::kHttp);
    // Writes all of a request; on plain HTTP it starts the clock of the response header's
    // limit. Throws boost::system::system_error.
    void Write(const std::string& data);
    // Reads what has arrived, at least one byte. 0 at the end of the stream (ec = eof) or on a
    // failure (ec says which: timed_out when the server stayed silent, operation_aborted on stop).
    std::size_t ReadSome(char* buffer, std::size_t size, boost::system::error_code& ec);

    // Reads until the first "\r\n\r\n" (or more than kMaxHeaderBytes), all within the header
    // limit counted from the request. text receives every byte read, headerEnd the position of
    // the blank line. False when the stream ended or failed first; ec then tells why (eof, a
    // read error, timed_out, or message_size for an oversized header).
    bool ReadHeader(std::string& text, std::size_t& headerEnd, char* buffer, std::size_t size,
                    boost::system::error_code& ec);

private:
    using Clock = std::chrono::steady_clock;
    class Socket;
    template <class StartOp>
    void Await(StartOp start, Clock::time_point deadline, boost::system::error_code& ec, std::size_t& bytes);
    // The socket operations below the transport: each ends within the read/write limit, within
    // the limit of the running phase (handshake and header), and on a stop request.
    void SocketWrite(const char* data, std::size_t size, boost::system::error_code& ec);
    std::size_t SocketRead(char* buffer, std::size_t size, boost::system::error_code& ec);
    Clock::time_point SocketDeadline() const;
    void StartTls(const std::string& name);

    StopFlags m_stop;
    ConnectionLimits m_limits;
    std::atomic<std::uint64_t>* m_received;
    TlsContextCache* m_tls;
    bool m_requestStarted = false;       // the header clock runs from m_requestStart
    Clock::time_point m_requestStart;
    Clock::time_point m_phaseDeadline = Clock::time_point::max();
    boost::asio::io_context m_io;
    boost::asio::ip::tcp::socket m_socket;
    std::unique_ptr<RawStream> m_raw;
    std::unique_ptr<Transport> m_transport;
};

// Wait slice: how often a waiting operation looks at its stop flags.
constexpr std::uint32_t kStopPollMs = 20;
