// Client process control on Windows: the process snapshot, termination and the module's folder.
#include <windows.h>
#include <tlhelp32.h>

#include <vector>

#include "app/core/process_op.h"
#include "log/rklog.h"

namespace {
struct HandleOwner {
    HANDLE h;
    ~HandleOwner() {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};
}  // namespace

std::uint32_t FindProcess_ByName(const std::string& imageName) {
    HandleOwner snap{CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)};
    PROCESSENTRY32W entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(entry);
    if (snap.h == INVALID_HANDLE_VALUE || !Process32FirstW(snap.h, &entry)) {
        LOG_STREAM_FN(rklog::kError, "FindProcess_ByName") << "process32 first error: " << GetLastError();
        return 0;
    }
    do {
        if (SameImageName(entry.szExeFile, imageName)) return entry.th32ProcessID;
    } while (Process32NextW(snap.h, &entry));
    return 0;
}

bool KillClient() {
    const DWORD id = FindProcess_ByName(kClientImageName);
    if (id == 0) return false;
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, id);
    if (!process) return false;
    const BOOL ok = TerminateProcess(process, 9);
    CloseHandle(process);
    return ok != FALSE;
}

std::wstring GetModuleDir() {
    std::vector<wchar_t> buffer(1024, L'\0');
    GetModuleFileNameW(GetModuleHandleW(nullptr), buffer.data(), static_cast<DWORD>(buffer.size()));
    std::wstring path(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
    const auto pos = path.rfind(L'\\');
    return pos == std::wstring::npos ? std::wstring() : path.substr(0, pos + 1);
}
