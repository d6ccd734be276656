// One TCP connection carrying one HTTP request. Every wait (name lookup, connect, write, read)
// ends within its time limit and as soon as the owner raises a stop flag. All socket I/O of the
// engine goes through Connect, Write and ReadSome, so that a transport layer can sit there.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include "download/timings.h"

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
    // received, when given, counts every byte read (the attempt's speed watch reads it).
    HttpConnection(StopFlags stop, const DownloadTimings& timings, std::atomic<std::uint64_t>* received = nullptr);
    ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    // Looks up host ("name" or "name:port", port 80 by default) and connects to the first
    // endpoint that accepts, both within the connect limit. Throws boost::system::system_error.
    void Connect(const std::string& host);
    // Writes all of a request; starts the clock of the response header's limit. Throws
    // boost::system::system_error.
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
    template <class StartOp>
    void Await(StartOp start, Clock::time_point deadline, boost::system::error_code& ec, std::size_t& bytes);
    std::size_t ReadUntil(char* buffer, std::size_t size, Clock::time_point deadline, boost::system::error_code& ec);

    StopFlags m_stop;
    DownloadTimings m_timings;
    std::atomic<std::uint64_t>* m_received;
    Clock::time_point m_requestSent;
    boost::asio::io_context m_io;
    boost::asio::ip::tcp::socket m_socket;
};

// Wait slice: how often a waiting operation looks at its stop flags.
constexpr std::uint32_t kStopPollMs = 20;
