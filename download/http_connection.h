// One TCP connection carrying one HTTP request, with blocking operations that end within a
// time limit and as soon as the owner asks to stop.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

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
    // timeoutMs bounds each single connect, write or read.
    HttpConnection(StopFlags stop, std::uint32_t timeoutMs);
    ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    // Resolves host ("name" or "name:port", port 80 by default) and connects to the first
    // endpoint that accepts. Throws boost::system::system_error.
    void Connect(const std::string& host);
    // Writes all of data. Throws boost::system::system_error.
    void Write(const std::string& data);
    // Reads what has arrived, at least one byte. 0 at the end of the stream (ec = eof) or on a
    // failure (ec says which: timed_out when the server stayed silent, operation_aborted on stop).
    std::size_t ReadSome(char* buffer, std::size_t size, boost::system::error_code& ec);

    // Reads until the first "\r\n\r\n" (or more than kMaxHeaderBytes). text receives every byte
    // read, headerEnd the position of the blank line. False when the stream ended or failed
    // first; ec then tells why (eof, or a read error, or message_size for an oversized header).
    bool ReadHeader(std::string& text, std::size_t& headerEnd, char* buffer, std::size_t size,
                    boost::system::error_code& ec);

private:
    template <class StartOp>
    void Await(StartOp start, boost::system::error_code& ec, std::size_t& bytes);

    StopFlags stop_;
    std::uint32_t timeoutMs_;
    boost::asio::io_context io_;
    boost::asio::ip::tcp::socket socket_;
};

// Wait slice: how often a waiting operation looks at its stop flags.
constexpr std::uint32_t kStopPollMs = 20;
