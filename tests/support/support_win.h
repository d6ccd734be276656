// Process, folder and window helpers of the Windows tests.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "tools/testkit/win_window.h"

namespace wintest {

std::wstring ExeDir();                          // folder of the running test, with backslash
std::wstring MakeTempDir(const std::wstring& tag);   // fresh folder under %TEMP%, with backslash
void RemoveTree(const std::wstring& dir);
bool CopyTo(const std::wstring& from, const std::wstring& to);

// zpvtest::WaitUntil, polled every 50 ms (each poll may walk all windows).
bool WaitFor(const std::function<bool()>& condition, DWORD ms);
// Waits up to ms for FindProcessWindow to find one.
HWND WaitWindow(const wchar_t* windowClass, DWORD pid, DWORD ms);

struct Process {
    HANDLE handle = nullptr;
    DWORD id = 0;
    ~Process();
    // Waits up to ms; returns the exit code, or STILL_ACTIVE on time-out.
    DWORD Wait(DWORD ms);
};
// Starts exe with the given argument text (program name added in front).
bool Start(Process& p, const std::wstring& exe, const std::wstring& args, DWORD flags = 0);

}  // namespace wintest
