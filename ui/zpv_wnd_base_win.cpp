#include "ui/zpv_wnd_base.h"

CZpvWndBase::~CZpvWndBase() {
    if (m_hwnd && ::IsWindow(m_hwnd)) ::DestroyWindow(m_hwnd);
}

LRESULT CZpvWndBase::FilterMessage(UINT message, WPARAM wParam, LPARAM, bool&) {
    if (message != WM_KEYDOWN) return 0;
    if (wParam == VK_ESCAPE) {
        CloseWithCode(2);
        return 1;
    }
    if (wParam == VK_RETURN) {
        CloseWithCode(1);
        return 1;
    }
    return 0;
}

LRESULT CZpvWndBase::ProcessMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return WindowImplBase::ProcessMessage(message, wParam, lParam);
}

void CZpvWndBase::CreateMainFrame() {
    const DWORD kMainWindowStyle = 0x10CF0000;   // WS_VISIBLE with WS_OVERLAPPEDWINDOW
    CreateFrame(nullptr, L"Veltaro升级程序", kMainWindowStyle, WS_EX_WINDOWEDGE);
    SetWindowIcon(kAppIconGroup);
}

std::wstring CZpvWndBase::SkinId(int id) { return std::to_wstring(id); }
