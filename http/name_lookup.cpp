#include "http/name_lookup.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

namespace {
Endpoints SystemResolve(const std::string& name, const std::string& port, error_code& ec) {
    asio::io_context io;
    tcp::resolver resolver(io);
    // The synchronous call runs the system's lookup on this thread (no helper thread of Asio).
    const tcp::resolver::results_type results = resolver.resolve(name, port, ec);
    Endpoints endpoints;
    if (!ec) {
        for (const auto& entry : results) endpoints.push_back(entry.endpoint());
    }
    return endpoints;
}

// A numeric address with a numeric port needs no lookup.
bool NumericEndpoint(const std::string& name, const std::string& port, tcp::endpoint& endpoint) {
    error_code ec;
    const asio::ip::address address = asio::ip::make_address(name, ec);
    if (ec || port.empty() || port.size() > 5) return false;
    for (char c : port) {
        if (c < '0' || c > '9') return false;
    }
    const unsigned long number = std::strtoul(port.c_str(), nullptr, 10);
    if (number > 65535) return false;
    endpoint = tcp::endpoint(address, static_cast<unsigned short>(number));
    return true;
}
}  // namespace

NameLookup::NameLookup(const std::string& name, const std::string& port) : m_state(std::make_shared<State>()) {
    tcp::endpoint endpoint;
    if (NumericEndpoint(name, port, endpoint)) {
        m_state->endpoints.push_back(endpoint);
        m_state->done = true;
        return;
    }
    try {
        // The thread owns copies of everything it uses and the shared state: whoever stops
        // waiting for it leaves nothing behind that it could touch.
        std::thread([state = m_state, resolver = settings::nameResolver.Get(), name, port] {
            error_code ec;
            Endpoints endpoints;
            try {
                endpoints = resolver ? resolver(name, port, ec) : SystemResolve(name, port, ec);
            } catch (...) {
                ec = asio::error::host_not_found;
            }
            if (!ec && endpoints.empty()) ec = asio::error::host_not_found;
            std::lock_guard<std::mutex> lock(state->mutex);
            state->endpoints = std::move(endpoints);
            state->error = ec;
            state->done = true;
            state->ended.notify_all();
        }).detach();
    } catch (...) {
        m_state->error = asio::error::no_memory;   // no thread for the lookup
        m_state->done = true;
    }
}

bool NameLookup::WaitFor(std::uint32_t ms) {
    std::unique_lock<std::mutex> lock(m_state->mutex);
    return m_state->ended.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_state->done; });
}

Endpoints NameLookup::Result(error_code& ec) const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    ec = m_state->error;
    return m_state->endpoints;
}
