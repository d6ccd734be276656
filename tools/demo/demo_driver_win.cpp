// zpvdemo UPDATER_EXE SHOT_DIR ARGS...   (SHOT_DIR: a host path)
// Starts the updater with ARGS, waits for each of its windows, keeps it on screen for a moment,
// saves a screenshot of it (PNG) into SHOT_DIR, and answers it with Enter as a user would.
// Prints what happened and exits with the updater's exit status.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/testkit/win_window.h"

namespace {
struct Step {
    const wchar_t* windowClass;
    const wchar_t* shotName;
    DWORD showMs;     // how long the window stays up before it is answered
    bool answer;      // press Enter in it
};

// The screen is captured by the host's X tools (ImageMagick's import): Wine starts Unix
// programs given by their path on the Z: drive.
bool SaveShot(HWND wnd, const std::wstring& unixPath) {
    RECT r;
    GetWindowRect(wnd, &r);
    std::wstring cmd = L"import -window root -crop " + std::to_wstring(r.right - r.left) + L"x" +
                       std::to_wstring(r.bottom - r.top) + L"+" + std::to_wstring(r.left) + L"+" +
                       std::to_wstring(r.top) + L" +repage " + unixPath;
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(0);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(L"Z:\\usr\\bin\\import", buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    // Wine does not track a Unix child's end: wait until the picture is written out.
    std::wstring dosPath = L"Z:" + unixPath;
    for (auto& c : dosPath) if (c == L'/') c = L'\\';
    LONGLONG last = -1;
    for (int i = 0; i < 100; ++i) {
        Sleep(100);
        WIN32_FILE_ATTRIBUTE_DATA fa;
        if (!GetFileAttributesExW(dosPath.c_str(), GetFileExInfoStandard, &fa)) continue;
        const LONGLONG size = (static_cast<LONGLONG>(fa.nFileSizeHigh) << 32) | fa.nFileSizeLow;
        if (size > 0 && size == last) return true;
        last = size;
    }
    return false;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: zpvdemo UPDATER_EXE SHOT_DIR ARGS...\n");
        return 2;
    }
    std::wstring cmd = L"\"" + std::wstring(argv[1]) + L"\"";
    for (int i = 3; i < argc; ++i) {
        const std::wstring a = argv[i];
        cmd += a.find(L' ') == std::wstring::npos ? L" " + a : L" \"" + a + L"\"";
    }
    const std::wstring shots = argv[2];
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(0);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(argv[1], buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        std::fprintf(stderr, "zpvdemo: cannot start the updater (error %lu)\n", GetLastError());
        return 2;
    }
    const Step steps[] = {
        {L"zpv_updater_tips_wnd_class_name", L"1-confirmation-box.png", 2500, true},
        {L"zpv_updater_wnd_class_name", L"2-updater-window.png", 4000, false},
        {L"zpv_updater_launch_wnd_class_name", L"3-launch-window.png", 2500, true},
    };
    for (const Step& step : steps) {
        HWND wnd = nullptr;
        for (int i = 0; i < 1200 && !wnd; ++i) {
            if (WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0) break;
            wnd = wintest::FindProcessWindow(step.windowClass, pi.dwProcessId);
            if (!wnd) Sleep(100);
        }
        if (!wnd) {
            std::printf("zpvdemo: no window of class %ls appeared\n", step.windowClass);
            break;
        }
        std::printf("zpvdemo: window %ls is up\n", step.windowClass);
        std::fflush(stdout);
        Sleep(step.showMs);
        if (SaveShot(wnd, shots + L"/" + step.shotName)) std::printf("zpvdemo: saved %ls\n", step.shotName);
        if (step.answer) PostMessageW(wnd, WM_KEYDOWN, VK_RETURN, 1);
    }
    WaitForSingleObject(pi.hProcess, 120000);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    std::printf("zpvdemo: the updater exited with status %d\n", static_cast<int>(code));
    return static_cast<int>(code);
}
