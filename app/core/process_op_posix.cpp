// Process control for the native build (tools and tests on Linux): /proc and signals.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "app/core/process_op.h"
#include "app/core/textconv.h"
#include "log/rklog.h"

namespace {
std::string ImageNameOf(const std::string& pid) {
    std::ifstream in("/proc/" + pid + "/cmdline", std::ios::binary);
    std::string argv0;
    std::getline(in, argv0, '\0');
    const auto slash = argv0.find_last_of('/');
    return slash == std::string::npos ? argv0 : argv0.substr(slash + 1);
}
}  // namespace

std::uint32_t FindProcess_ByName(const std::string& imageName) {
    DIR* dir = opendir("/proc");
    if (!dir) {
        LOG_STREAM_FN(rklog::kError, "FindProcess_ByName") << "process32 first error: " << errno;
        return 0;
    }
    std::uint32_t found = 0;
    const std::string self = std::to_string(getpid());
    while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos || name == self) continue;
        if (SameImageName(ToWide(ImageNameOf(name)), imageName)) {
            found = static_cast<std::uint32_t>(std::strtoul(name.c_str(), nullptr, 10));
            break;
        }
    }
    closedir(dir);
    return found;
}

bool KillClient() {
    const std::uint32_t id = FindProcess_ByName(kClientImageName);
    if (id == 0) return false;
    return kill(static_cast<pid_t>(id), SIGKILL) == 0;
}

std::wstring GetModuleDir() {
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return std::wstring();
    std::string path(buf, static_cast<std::size_t>(n));
    const auto pos = path.rfind('/');
    return pos == std::string::npos ? std::wstring() : ToWide(path.substr(0, pos + 1));
}
