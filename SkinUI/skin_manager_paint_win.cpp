// The paint manager's painting: the deferred layout and the tree painted into the window.
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

}  // namespace SkinUI
