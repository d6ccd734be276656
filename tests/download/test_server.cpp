#include "test_server.h"

#include <chrono>
#include <cstdlib>

#include <boost/asio.hpp>

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

struct TestServer::State {
    // Declared first: every socket below belongs to it and must go before it.
    asio::io_context io;
    std::unique_ptr<tcp::acceptor> acceptor;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool stopping = false;
    std::vector<std::string> requests;   // by connection index
    std::vector<std::shared_ptr<Exchange::Impl>> connections;
    std::vector<std::thread> threads;
    int accepted = 0;
    Handler handler;
    Mode mode = Mode::kHttp;
};

struct Exchange::Impl {
    explicit Impl(tcp::socket s) : socket(std::move(s)), handle(socket.native_handle()) {}
    tcp::socket socket;
    tcp::socket::native_handle_type handle;
    std::mutex mutex;   // guards closed; the server shuts open sockets down when it stops
    bool closed = false;
    std::shared_ptr<TestServer::State> server;

    void Close(bool abortive) {
        std::lock_guard<std::mutex> lock(mutex);
        if (closed) return;
        error_code ignored;
        if (abortive) socket.set_option(asio::socket_base::linger(true, 0), ignored);
        socket.close(ignored);
        closed = true;
    }
};

std::string Exchange::Path() const {
    const auto sp1 = m_request.find(' ');
    const auto sp2 = m_request.find(' ', sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos) return std::string();
    return m_request.substr(sp1 + 1, sp2 - sp1 - 1);
}

std::uint64_t Exchange::RangeStart() const {
    const auto pos = m_request.find("Range: bytes=");
    if (pos == std::string::npos) return 0;
    return std::strtoull(m_request.c_str() + pos + 13, nullptr, 10);
}

bool Exchange::Send(const char* data, std::size_t size) {
    {
        std::lock_guard<std::mutex> lock(m_impl->server->mutex);
        if (m_impl->server->stopping) return false;
    }
    error_code ec;
    asio::write(m_impl->socket, asio::buffer(data, size), ec);
    return !ec;
}

void Exchange::Hold(std::uint32_t ms) {
    auto& s = *m_impl->server;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (ms == 0xFFFFFFFFu) {
        s.changed.wait(lock, [&] { return s.stopping; });
    } else {
        s.changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return s.stopping; });
    }
}

void Exchange::Reset() { m_impl->Close(true); }

std::size_t Exchange::Receive(char* buffer, std::size_t size) {
    error_code ec;
    const std::size_t n = m_impl->socket.read_some(asio::buffer(buffer, size), ec);
    return ec ? 0 : n;
}

void Exchange::Shutdown() {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (!m_impl->closed) ::shutdown(m_impl->handle, 2);
}

void TestServer::Serve(std::shared_ptr<State> state, std::shared_ptr<Exchange::Impl> impl, int index) {
    Exchange ex;
    ex.m_impl = impl;
    ex.m_index = index;
    // The request: everything up to and including the blank line.
    char buf[4096];
    bool complete = state->mode == Mode::kRaw;
    while (!complete) {
        error_code ec;
        const std::size_t n = impl->socket.read_some(asio::buffer(buf), ec);
        if (ec || n == 0) break;
        ex.m_request.append(buf, n);
        complete = ex.m_request.find("\r\n\r\n") != std::string::npos;
    }
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->requests.size() <= static_cast<std::size_t>(index)) state->requests.resize(index + 1);
        state->requests[index] = ex.m_request;
        state->changed.notify_all();
    }
    if (complete) state->handler(ex);
    impl->Close(false);
}

TestServer::TestServer(Handler handler, Mode mode) : m_state(std::make_shared<State>()) {
    m_state->handler = std::move(handler);
    m_state->mode = mode;
    m_state->acceptor = std::make_unique<tcp::acceptor>(m_state->io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    m_port = m_state->acceptor->local_endpoint().port();
    m_state->acceptor->non_blocking(true);
    State* state = m_state.get();
    m_acceptThread = std::thread([this, state] {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                if (state->stopping) return;
            }
            tcp::socket socket(state->io);
            error_code ec;
            state->acceptor->accept(socket, ec);
            if (ec == asio::error::would_block || ec == asio::error::try_again) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            if (ec) continue;
            socket.non_blocking(false, ec);
            auto impl = std::make_shared<Exchange::Impl>(std::move(socket));
            impl->server = m_state;
            std::lock_guard<std::mutex> lock(state->mutex);
            const int index = state->accepted++;
            state->connections.push_back(impl);
            state->threads.emplace_back(&TestServer::Serve, m_state, impl, index);
            state->changed.notify_all();
        }
    });
}

TestServer::~TestServer() {
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->stopping = true;
        m_state->changed.notify_all();
    }
    m_acceptThread.join();
    // Wake connections blocked in a read or write; closed ones are left alone.
    for (auto& c : m_state->connections) {
        std::lock_guard<std::mutex> lock(c->mutex);
        if (!c->closed) ::shutdown(c->handle, 2);
    }
    for (auto& t : m_state->threads) t.join();
    for (auto& c : m_state->connections) c->server.reset();
    m_state->connections.clear();
    m_state->acceptor.reset();
}

std::string TestServer::Host() const { return "127.0.0.1:" + std::to_string(m_port); }

std::vector<std::string> TestServer::Requests() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->requests;
}

int TestServer::ConnectionCount() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->accepted;
}

bool TestServer::WaitConnections(int n, std::uint32_t ms) const {
    std::unique_lock<std::mutex> lock(m_state->mutex);
    return m_state->changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_state->accepted >= n; });
}

TestServer::Handler ServeText(std::string response) {
    return [response](Exchange& ex) { ex.Send(response); };
}

TestServer::Handler ServeFile(std::shared_ptr<const std::string> body, ServeOptions o) {
    return [body, o](Exchange& ex) {
        if ((o.silentProbe && ex.Index() == 0) || (o.silentSegments && ex.Index() > 0)) {
            ex.HoldUntilStopped();
            return;
        }
        if (o.lateRangesMs && ex.RangeStart() > 0) ex.Hold(o.lateRangesMs);
        const std::uint64_t size = body->size();
        const std::uint64_t from = o.ignoreRange ? 0 : ex.RangeStart();
        if (from >= size && size > 0) {
            ex.Send("HTTP/1.1 416 Requested Range Not Satisfiable\r\nContent-Length: 0\r\n"
                    "Content-Range: bytes */" + std::to_string(size) + "\r\nConnection: close\r\n\r\n");
            return;
        }
        const std::uint64_t announced = o.lengthOverride >= 0 ? static_cast<std::uint64_t>(o.lengthOverride) : size;
        std::string header = !o.statusLine.empty() ? o.statusLine
                             : o.ignoreRange       ? std::string("HTTP/1.1 200 OK")
                                                   : std::string("HTTP/1.1 206 Partial Content");
        header += "\r\nContent-Type: application/zip\r\n";
        if (!o.noLength) {
            header += "Content-Length: " + std::to_string(announced - from) + "\r\n";
            if (!o.ignoreRange) {
                header += "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(size - 1) + "/" +
                          std::to_string(announced) + "\r\n";
            }
        }
        header += "Connection: close\r\n\r\n";
        if (o.headerByteByByte) {
            for (char c : header) {
                if (!ex.Send(&c, 1)) return;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        } else if (!ex.Send(header)) {
            return;
        }
        std::uint64_t sent = 0;
        for (std::uint64_t pos = from; pos < size;) {
            std::uint64_t n = std::min<std::uint64_t>(o.writeSize, size - pos);
            const std::int64_t cut = o.stallAfter >= 0 ? o.stallAfter : o.resetAfter;
            if (cut >= 0) {
                if (sent >= static_cast<std::uint64_t>(cut)) {
                    if (o.stallAfter >= 0) ex.HoldUntilStopped(); else ex.Reset();
                    return;
                }
                n = std::min<std::uint64_t>(n, cut - sent);
            }
            if (!ex.Send(body->data() + pos, static_cast<std::size_t>(n))) return;
            pos += n;
            sent += n;
            if (o.pauseMs) ex.Hold(o.pauseMs);
        }
    };
}
