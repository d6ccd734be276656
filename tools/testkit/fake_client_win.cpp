// Stands in for the client's programs in the tests.
// Under the launcher's image name ("ZPVLaunch.exe") it writes its command line to "launch.txt"
// beside itself and exits. With "record=PATH" it writes its command line to PATH and exits
// (used as the handler of the shell's http open verb). Otherwise it stays alive until it is
// terminated; with "window" it opens a top-level window of the client's main window class.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {
void WriteCommandLine(const std::wstring& path) {
    if (FILE* f = _wfopen(path.c_str(), L"wb")) {
        const wchar_t* full = GetCommandLineW();
        std::fwrite(full, sizeof(wchar_t), wcslen(full), f);
        std::fclose(f);
    }
}
}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR cmdLine, int) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self);
    const std::wstring dir = path.substr(0, path.rfind(L'\\') + 1);
    const std::wstring name = path.substr(dir.size());
    if (_wcsicmp(name.c_str(), L"ZPVLaunch.exe") == 0) {
        WriteCommandLine(dir + L"launch.txt");
        return 0;
    }
    if (const wchar_t* record = std::wcsstr(cmdLine, L"record=")) {
        std::wstring target(record + 7);
        target.resize(target.find(L' ') == std::wstring::npos ? target.size() : target.find(L' '));
        WriteCommandLine(target);
        return 0;
    }
    if (std::wcsstr(cmdLine, L"window")) {
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = instance;
        wc.lpszClassName = L"veltaro";
        RegisterClassW(&wc);
        CreateWindowExW(0, L"veltaro", L"client", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100, 100, 400, 300,
                        nullptr, nullptr, instance, nullptr);
    }
    MSG msg;
    SetTimer(nullptr, 0, 1000, nullptr);
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return 0;
}
