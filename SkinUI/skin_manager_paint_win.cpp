// The paint manager's painting: the deferred layout, and the tree painted into the window (off
// screen for WM_PAINT, directly for WM_PRINTCLIENT).
#include "SkinUI/skin_manager.h"

#include "SkinUI/skin_controls.h"

namespace SkinUI {

void CSkinManagerUI::LayoutIfNeeded() {
    for (int round = 0; round < 4 && m_layoutNeeded && m_root && m_hwnd; ++round) {
        m_layoutNeeded = false;
        RECT client;
        ::GetClientRect(m_hwnd, &client);
        m_root->Arrange(client, false);
        if (m_firstLayout) {
            m_firstLayout = false;
            DispatchNotification(m_root, L"windowinit");
        }
    }
}

void CSkinManagerUI::PaintTree(HDC dc, const RECT& paintRect) {
    LayoutIfNeeded();
    if (m_root) m_root->Paint(dc, paintRect);
}

bool CSkinManagerUI::OnEraseBackground(LRESULT& result) {
    if (!m_root) return false;
    result = 1;   // the tree paints every pixel
    return true;
}

// Painted off screen first, so that a control never shows half drawn.
bool CSkinManagerUI::OnPaint() {
    if (!m_root) return false;
    LayoutIfNeeded();
    if (!m_hwnd) return false;
    PAINTSTRUCT ps;
    HDC dc = ::BeginPaint(m_hwnd, &ps);
    RECT client;
    ::GetClientRect(m_hwnd, &client);
    if (m_root && !::IsRectEmpty(&ps.rcPaint) && !::IsRectEmpty(&client)) {
        HDC mem = ::CreateCompatibleDC(dc);
        HBITMAP bmp = ::CreateCompatibleBitmap(dc, client.right, client.bottom);
        HGDIOBJ old = ::SelectObject(mem, bmp);
        m_root->Paint(mem, ps.rcPaint);
        ::BitBlt(dc, ps.rcPaint.left, ps.rcPaint.top, ps.rcPaint.right - ps.rcPaint.left,
                 ps.rcPaint.bottom - ps.rcPaint.top, mem, ps.rcPaint.left, ps.rcPaint.top, SRCCOPY);
        ::SelectObject(mem, old);
        ::DeleteObject(bmp);
        ::DeleteDC(mem);
    }
    ::EndPaint(m_hwnd, &ps);
    return true;
}

bool CSkinManagerUI::OnPrintClient(HDC dc) {
    if (!m_root) return false;
    RECT client;
    ::GetClientRect(m_hwnd, &client);
    PaintTree(dc, client);
    return true;
}

}  // namespace SkinUI
