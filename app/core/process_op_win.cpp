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

// Fails for a process of another user unless the caller may query it; that process is then
// of no session of ours.
std::uint32_t SessionOf(DWORD processId) {
    DWORD session = 0;
    return ProcessIdToSessionId(processId, &session) ? session : kUnknownSession;
}
}  // namespace

std::uint32_t FindProcess_ByName(const std::string& imageName) {
    // The snapshot lists every session's processes; only the matching names are asked for theirs.
    HandleOwner snap{CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0)};
    PROCESSENTRY32W entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(entry);
    if (snap.h == INVALID_HANDLE_VALUE || !Process32FirstW(snap.h, &entry)) {
        LOG_STREAM_FN(rklog::kError, "FindProcess_ByName") << "process32 first error: " << GetLastError();
        return 0;
    }
    std::vector<ProcessEntry> matches;
    do {
        if (SameImageName(entry.szExeFile, imageName)) {
            matches.push_back({entry.th32ProcessID, SessionOf(entry.th32ProcessID), entry.szExeFile});
        }
    } while (Process32NextW(snap.h, &entry));
    return FirstInSession(matches, imageName, SessionOf(GetCurrentProcessId()));
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
