#include "download/http_connection.h"

#include <algorithm>

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include "download/http_header.h"
#include "download/name_lookup.h"

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

HttpConnection::HttpConnection(StopFlags stop, const DownloadTimings& timings, std::atomic<std::uint64_t>* received)
    : m_stop(stop), m_timings(timings), m_received(received), m_requestSent(Clock::now()), m_socket(m_io) {}

HttpConnection::~HttpConnection() {
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

void HttpConnection::Connect(const std::string& host) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_timings.connectTimeoutMs);
    std::string name, port;
    SplitHostPort(host, name, port);
    NameLookup lookup(name, port);
    while (!lookup.WaitFor(kStopPollMs)) {
        if (m_stop.Raised()) throw boost::system::system_error(asio::error::operation_aborted, "resolve");
        if (Clock::now() >= deadline) throw boost::system::system_error(asio::error::timed_out, "resolve");
    }
    error_code ec;
    const Endpoints endpoints = lookup.Result(ec);
    if (ec) throw boost::system::system_error(ec, "resolve");
    std::size_t unused = 0;
    Await([&](auto handler) {
        asio::async_connect(m_socket, endpoints,
                            [handler](const error_code& e, const tcp::endpoint&) { handler(e, 0); });
    }, deadline, ec, unused);
    if (ec) throw boost::system::system_error(ec, "connect");
}

void HttpConnection::Write(const std::string& data) {
    m_requestSent = Clock::now();
    error_code ec;
    std::size_t n = 0;
    Await([&](auto handler) { asio::async_write(m_socket, asio::buffer(data), handler); },
          m_requestSent + std::chrono::milliseconds(m_timings.ioTimeoutMs), ec, n);
    if (ec) throw boost::system::system_error(ec, "write");
}

std::size_t HttpConnection::ReadUntil(char* buffer, std::size_t size, Clock::time_point deadline, error_code& ec) {
    std::size_t n = 0;
    ec.clear();
    Await([&](auto handler) { m_socket.async_read_some(asio::buffer(buffer, size), handler); }, deadline, ec, n);
    if (ec) return 0;
    if (m_received) m_received->fetch_add(n, std::memory_order_relaxed);
    return n;
}

std::size_t HttpConnection::ReadSome(char* buffer, std::size_t size, error_code& ec) {
    return ReadUntil(buffer, size, Clock::now() + std::chrono::milliseconds(m_timings.ioTimeoutMs), ec);
}

bool HttpConnection::ReadHeader(std::string& text, std::size_t& headerEnd, char* buffer, std::size_t size,
                                error_code& ec) {
    const Clock::time_point headerDeadline = m_requestSent + std::chrono::milliseconds(m_timings.headerTimeoutMs);
    HeaderCollector collector;
    for (;;) {
        const Clock::time_point readDeadline = Clock::now() + std::chrono::milliseconds(m_timings.ioTimeoutMs);
        const std::size_t n = ReadUntil(buffer, size, std::min(readDeadline, headerDeadline), ec);
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
