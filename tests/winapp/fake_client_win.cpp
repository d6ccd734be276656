// A stand-in for the client: stays alive until it is terminated. "window" opens a top-level
// window of class "veltaro"; "record=PATH" writes its command line to PATH first (the launcher).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR cmdLine, int) {
    const wchar_t* record = std::wcsstr(cmdLine, L"record=");
    if (record) {
        std::wstring path(record + 7);
        const auto space = path.find(L' ');
        if (space != std::wstring::npos) path.resize(space);
        if (FILE* f = _wfopen(path.c_str(), L"wb")) {
            const wchar_t* full = GetCommandLineW();
            std::fwrite(full, sizeof(wchar_t), wcslen(full), f);
            std::fclose(f);
        }
        if (std::wcsstr(cmdLine, L"exit")) return 0;
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
