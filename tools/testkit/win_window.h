// What the demo and the Windows tests share: finding a program's window.
#pragma once

#include <windows.h>

namespace wintest {

// A visible top-level window of that class belonging to the process, or null.
HWND FindProcessWindow(const wchar_t* windowClass, DWORD pid);

}  // namespace wintest
