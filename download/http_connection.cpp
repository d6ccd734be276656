#include "download/http_connection.h"

#include <chrono>

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include "download/http_header.h"

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

HttpConnection::HttpConnection(StopFlags stop, std::uint32_t timeoutMs)
    : stop_(stop), timeoutMs_(timeoutMs), socket_(io_) {}

HttpConnection::~HttpConnection() {
    error_code ignored;
    socket_.close(ignored);
}

// Starts one operation and runs this connection's own completion queue until it has
// completed. The wait is cut into short slices so that a stop request or the deadline closes
// the socket, which completes the operation with an error.
template <class StartOp>
void HttpConnection::Await(StartOp start, error_code& ec, std::size_t& bytes) {
    using Clock = std::chrono::steady_clock;
    bytes = 0;
    if (stop_.Raised()) {
        ec = asio::error::operation_aborted;
        return;
    }
    bool done = false;
    start([&](const error_code& e, std::size_t n) {
        ec = e;
        bytes = n;
        done = true;
    });
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs_);
    error_code reason;
    io_.restart();
    while (!done) {
        if (!reason) {
            if (stop_.Raised()) {
                reason = asio::error::operation_aborted;
            } else if (Clock::now() >= deadline) {
                reason = asio::error::timed_out;
            }
            if (reason) {
                error_code ignored;
                socket_.close(ignored);
            }
        }
        io_.run_one_for(std::chrono::milliseconds(kStopPollMs));
        if (io_.stopped()) io_.restart();
    }
    if (reason && ec) ec = reason;
}

void HttpConnection::Connect(const std::string& host) {
    std::string name, port;
    SplitHostPort(host, name, port);
    tcp::resolver resolver(io_);
    const tcp::resolver::results_type endpoints = resolver.resolve(name, port);   // throws
    error_code ec;
    std::size_t unused = 0;
    Await([&](auto handler) {
        asio::async_connect(socket_, endpoints,
                            [handler](const error_code& e, const tcp::endpoint&) { handler(e, 0); });
    }, ec, unused);
    if (ec) throw boost::system::system_error(ec, "connect");
}

void HttpConnection::Write(const std::string& data) {
    error_code ec;
    std::size_t n = 0;
    Await([&](auto handler) { asio::async_write(socket_, asio::buffer(data), handler); }, ec, n);
    if (ec) throw boost::system::system_error(ec, "write");
}

std::size_t HttpConnection::ReadSome(char* buffer, std::size_t size, error_code& ec) {
    std::size_t n = 0;
    ec.clear();
    Await([&](auto handler) { socket_.async_read_some(asio::buffer(buffer, size), handler); }, ec, n);
    return ec ? 0 : n;
}

bool HttpConnection::ReadHeader(std::string& text, std::size_t& headerEnd, char* buffer,
                                std::size_t size, error_code& ec) {
    HeaderCollector collector;
    for (;;) {
        const std::size_t n = ReadSome(buffer, size, ec);
        if (n == 0) return false;
        const HeaderCollector::State state = collector.Add(buffer, n);
        if (state == HeaderCollector::kComplete) {
            text.swap(collector.text());
            headerEnd = collector.headerEnd();
            return true;
        }
        if (state == HeaderCollector::kTooLarge) {
            ec = asio::error::message_size;
            return false;
        }
    }
}
