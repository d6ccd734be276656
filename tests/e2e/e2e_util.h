// What the end-to-end tests share: the updater's window classes and control positions, and
// small file, environment and input helpers.
#pragma once

#include <windows.h>

#include <string>

#include "tests/support/support.h"

namespace e2e {

const wchar_t kUpdaterClass[] = L"zpv_updater_wnd_class_name";
const wchar_t kTipsClass[] = L"zpv_updater_tips_wnd_class_name";
const wchar_t kLaunchClass[] = L"zpv_updater_launch_wnd_class_name";

// Client coordinates of controls in the 310 x 100 updater window.
const POINT kInstallButton{264, 77};
const POINT kSkipButton{264, 75};
const POINT kCloseButton{303, 15};

using zpvtest::Env;
using zpvtest::ReadFile;

// A Unix path of the host as Wine sees it.
inline std::wstring HostPath(const std::string& unixPath) {
    std::wstring w = L"Z:";
    for (char c : unixPath) w += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return w;
}

inline bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The ASCII characters of a UTF-16 file (the launcher stand-in records its command line so).
inline std::string Utf16FileAsAscii(const std::wstring& path) {
    const std::string raw = ReadFile(path);
    std::string out;
    for (std::size_t i = 0; i + 1 < raw.size(); i += 2) out += raw[i];
    return out;
}

inline void Click(HWND h, POINT p) {
    const LPARAM at = MAKELPARAM(p.x, p.y);
    PostMessageW(h, WM_MOUSEMOVE, 0, at);
    Sleep(100);
    PostMessageW(h, WM_LBUTTONDOWN, MK_LBUTTON, at);
    Sleep(100);
    PostMessageW(h, WM_LBUTTONUP, 0, at);
}

inline void Key(HWND h, WPARAM vk) { PostMessageW(h, WM_KEYDOWN, vk, 1); }

}  // namespace e2e
