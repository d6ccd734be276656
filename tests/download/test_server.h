// A scripted HTTP server on 127.0.0.1 for the download tests: records the raw request bytes
// of every connection and lets each test decide, per connection, what goes back (faults
// included).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TestServer;

// One accepted connection, as the handler sees it.
class Exchange {
public:
    const std::string& Request() const { return m_request; }
    int Index() const { return m_index; }   // 0 for the first connection of the server
    std::string Path() const;              // request target of the GET line
    // First byte of "Range: bytes=N-", 0 without a Range line.
    std::uint64_t RangeStart() const;

    // Sends everything (false when the peer is gone or the server stops).
    bool Send(const std::string& data) { return Send(data.data(), data.size()); }
    bool Send(const char* data, std::size_t size);
    // Keeps the connection open and silent for ms (or until the server stops).
    void Hold(std::uint32_t ms);
    // Keeps it open and silent until the server stops.
    void HoldUntilStopped() { Hold(0xFFFFFFFFu); }
    // Abortive close: the peer sees a connection reset.
    void Reset();
    // Raw servers: reads what the peer sent, at least one byte; 0 once it closed, after
    // Shutdown, or when the server stops.
    std::size_t Receive(char* buffer, std::size_t size);
    // Ends both directions: the peer sees the end of the stream, a Receive in progress returns.
    void Shutdown();

private:
    friend class TestServer;
    struct Impl;
    std::shared_ptr<Impl> m_impl;
    std::string m_request;
    int m_index = 0;
};

class TestServer {
public:
    using Handler = std::function<void(Exchange&)>;
    // kHttp reads each request up to its blank line before the handler runs; kRaw runs the
    // handler at once (for protocols where the client's first bytes are no HTTP request).
    enum class Mode { kHttp, kRaw };
    explicit TestServer(Handler handler, Mode mode = Mode::kHttp);
    ~TestServer();   // stops holds, ends every connection, joins all threads
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    std::uint16_t Port() const { return m_port; }
    std::string Host() const;   // "127.0.0.1:PORT"
    std::vector<std::string> Requests() const;
    int ConnectionCount() const;
    // Waits until at least n connections were accepted (false after ms).
    bool WaitConnections(int n, std::uint32_t ms) const;

    struct State;

private:
    static void Serve(std::shared_ptr<State> state, std::shared_ptr<Exchange::Impl> impl, int index);

    std::shared_ptr<State> m_state;
    std::uint16_t m_port = 0;
    std::thread m_acceptThread;
};

// Options of the package handler: a file served with Range support and optional faults.
struct ServeOptions {
    bool ignoreRange = false;          // answer 200 with the whole file
    bool noLength = false;             // no Content-Length, no Content-Range
    std::int64_t lengthOverride = -1;  // Content-Length (and Content-Range total) to announce
    bool headerByteByByte = false;     // the header in one-byte writes
    std::string statusLine;            // replaces "HTTP/1.1 206 Partial Content"
    std::int64_t stallAfter = -1;      // body bytes sent per connection before going silent
    std::int64_t resetAfter = -1;      // body bytes sent per connection before a reset
    bool silentProbe = false;          // the first connection accepts and sends nothing
    bool silentSegments = false;       // every connection but the first sends nothing
    std::size_t writeSize = 64 * 1024; // body bytes per write
    std::uint32_t pauseMs = 0;         // pause between body writes
    std::uint32_t lateRangesMs = 0;    // answers to ranges not starting at 0 wait this long
};
TestServer::Handler ServeFile(std::shared_ptr<const std::string> body, ServeOptions options = {});

// Raw response from a fixed text, whatever the request.
TestServer::Handler ServeText(std::string response);
