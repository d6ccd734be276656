#include "tests/support/support_win.h"

#include "tests/support/support.h"

#include <filesystem>
#include <vector>

namespace wintest {

std::wstring ExeDir() {
    wchar_t buf[MAX_PATH];
    GetModuleFileNameW(nullptr, buf, MAX_PATH);
    std::wstring p(buf);
    return p.substr(0, p.rfind(L'\\') + 1);
}

std::wstring MakeTempDir(const std::wstring& tag) {
    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    // A fresh name each time: a folder of an earlier test may still be held by a process
    // that is just ending.
    static int counter = 0;
    std::wstring dir = std::wstring(tmp) + L"zpvtest-" + tag + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                       std::to_wstring(++counter) + L"\\";
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    std::filesystem::create_directories(dir, ec);
    return dir;
}

void RemoveTree(const std::wstring& dir) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

bool CopyTo(const std::wstring& from, const std::wstring& to) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(to).parent_path(), ec);
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

bool WaitFor(const std::function<bool()>& condition, DWORD ms) { return zpvtest::WaitUntil(condition, ms, 50); }

HWND WaitWindow(const wchar_t* windowClass, DWORD pid, DWORD ms) {
    HWND found = nullptr;
    WaitFor([&] { return (found = FindProcessWindow(windowClass, pid)) != nullptr; }, ms);
    return found;
}

Process::~Process() {
    if (handle) {
        if (WaitForSingleObject(handle, 0) == WAIT_TIMEOUT) TerminateProcess(handle, 1);
        CloseHandle(handle);
    }
}

DWORD Process::Wait(DWORD ms) {
    if (WaitForSingleObject(handle, ms) == WAIT_TIMEOUT) return STILL_ACTIVE;
    DWORD code = 0;
    GetExitCodeProcess(handle, &code);
    return code;
}

bool Start(Process& p, const std::wstring& exe, const std::wstring& args, DWORD flags) {
    std::wstring cmd = L"\"" + exe + L"\"";
    if (!args.empty()) cmd += L" " + args;
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(0);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.c_str(), buf.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    p.handle = pi.hProcess;
    p.id = pi.dwProcessId;
    return true;
}

}  // namespace wintest
