#include <chrono>
#include <thread>

#include "app/process_op.h"

const char kClientImageName[] = "zpvclient.exe";

namespace {
std::uint32_t TickCount() {
    using namespace std::chrono;
    return static_cast<std::uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
}  // namespace

bool SameImageName(const std::wstring& entryName, const std::string& name) {
    if (entryName.size() != name.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        wchar_t a = entryName[i];
        unsigned char b = static_cast<unsigned char>(name[i]);
        if (a >= L'a' && a <= L'z') a = static_cast<wchar_t>(a - L'a' + L'A');
        if (b >= 'a' && b <= 'z') b = static_cast<unsigned char>(b - 'a' + 'A');
        if (static_cast<unsigned long>(a) != b) return false;
    }
    return true;
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
