// Name lookup that its caller can stop waiting for at any moment. The system's resolver call
// cannot be interrupted, so a name is resolved on a thread of its own, which owns everything it
// touches: a caller that gives up (stop request, time limit) simply stops waiting, and the
// thread ends whenever the system call returns.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include "app/core/setting.h"

using Endpoints = std::vector<boost::asio::ip::tcp::endpoint>;

// Resolves a name and a port (number or service name) to TCP endpoints; sets ec on failure.
using NameResolver =
    std::function<Endpoints(const std::string& name, const std::string& port, boost::system::error_code& ec)>;

namespace settings {
// The resolver of every later lookup of a name (numeric addresses need none); empty: the
// system's. Tests stand in for name servers that answer late or never with it. It runs on the
// lookup thread and may outlive the wait for it, so it must own what it uses.
inline Setting<NameResolver> nameResolver;
}  // namespace settings

class NameLookup {
public:
    // Starts the lookup: a numeric address is taken at once, a name goes to a lookup thread.
    NameLookup(const std::string& name, const std::string& port);
    NameLookup(const NameLookup&) = delete;
    NameLookup& operator=(const NameLookup&) = delete;

    // Waits up to ms; true once the lookup has ended.
    bool WaitFor(std::uint32_t ms);
    // The endpoints, or the failure in ec. Only after WaitFor returned true.
    Endpoints Result(boost::system::error_code& ec) const;

private:
    struct State {
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
        Endpoints endpoints;
        boost::system::error_code error;
    };
    std::shared_ptr<State> m_state;
};
