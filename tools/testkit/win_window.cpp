#include "tools/testkit/win_window.h"

#include <cwchar>

namespace wintest {

namespace {
struct WindowSearch {
    const wchar_t* cls;
    DWORD pid;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND h, LPARAM p) {
    auto* s = reinterpret_cast<WindowSearch*>(p);
    DWORD owner = 0;
    wchar_t name[128];
    GetWindowThreadProcessId(h, &owner);
    if (owner == s->pid && IsWindowVisible(h) && GetClassNameW(h, name, 128) && wcscmp(name, s->cls) == 0) {
        s->found = h;
        return FALSE;
    }
    return TRUE;
}
}  // namespace

HWND FindProcessWindow(const wchar_t* windowClass, DWORD pid) {
    WindowSearch s{windowClass, pid, nullptr};
    EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

}  // namespace wintest
