// Client process control on every platform: image names compared, the client stopped and waited for.
#include <chrono>
#include <thread>

#include "app/core/ascii.h"
#include "app/core/process_op.h"

const char kClientImageName[] = "zpvclient.exe";

namespace {
std::uint32_t TickCount() {
    using namespace std::chrono;
    return static_cast<std::uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
}  // namespace

bool SameImageName(const std::wstring& entryName, const std::string& name) {
    return EqualsIgnoreAsciiCase(entryName, name);
}

std::uint32_t FirstInSession(const std::vector<ProcessEntry>& processes, const std::string& imageName,
                             std::uint32_t session) {
    if (session == kUnknownSession) return 0;
    for (const ProcessEntry& p : processes) {
        if (p.session == session && SameImageName(p.imageName, imageName)) return p.id;
    }
    return 0;
}

bool KillClientAndWait() {
    if (!KillClient()) return FindProcess_ByName(kClientImageName) == 0;
    const std::uint32_t t0 = TickCount();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (FindProcess_ByName(kClientImageName) == 0) return true;
        if (static_cast<std::uint32_t>(TickCount() - t0) > 3000u) return false;
    }
}
