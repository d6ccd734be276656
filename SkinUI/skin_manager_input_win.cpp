// The paint manager's input: mouse messages routed to the controls (hot, click and focus
// controls), keys, closing, the message filters, focus moves, shortcuts and tooltips.
#include "SkinUI/skin_manager.h"

#include <windowsx.h>
#include <commctrl.h>

#include <algorithm>

#include "SkinUI/skin_controls.h"
#include "SkinUI/skin_settings.h"

namespace SkinUI {
namespace {

POINT PointOf(LPARAM lParam) { return POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)}; }

CControlUI* CollectInto(CControlUI* control, void* data) {
    static_cast<std::vector<CControlUI*>*>(data)->push_back(control);
    return nullptr;
}

}  // namespace

void CSkinManagerUI::ShowTooltip() {
    if (!m_hot || m_hot->GetTooltip().empty() || !m_hwnd) return;
    if (!m_tooltip) {
        m_tooltip = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                                      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, m_hwnd, nullptr,
                                      GetModuleInstance(), nullptr);
        if (!m_tooltip) return;
    }
    m_tooltipText = m_hot->GetTooltip();
    TTTOOLINFOW ti{};
    ti.cbSize = TTTOOLINFOW_V2_SIZE;
    ti.uFlags = TTF_TRACK | TTF_ABSOLUTE;
    ti.hwnd = m_hwnd;
    ti.uId = 1;
    ti.hinst = GetModuleInstance();
    ti.lpszText = &m_tooltipText[0];
    ti.rect = m_hot->GetPos();
    ::SendMessageW(m_tooltip, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
    ::SendMessageW(m_tooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
    POINT pt;
    ::GetCursorPos(&pt);
    ::SendMessageW(m_tooltip, TTM_TRACKPOSITION, 0, MAKELPARAM(pt.x + 12, pt.y + 18));
    ::SendMessageW(m_tooltip, TTM_TRACKACTIVATE, TRUE, reinterpret_cast<LPARAM>(&ti));
}

void CSkinManagerUI::HideTooltip() {
    if (!m_tooltip) return;
    TTTOOLINFOW ti{};
    ti.cbSize = TTTOOLINFOW_V2_SIZE;
    ti.hwnd = m_hwnd;
    ti.uId = 1;
    ::SendMessageW(m_tooltip, TTM_TRACKACTIVATE, FALSE, reinterpret_cast<LPARAM>(&ti));
}

void CSkinManagerUI::MoveFocus(bool forward) {
    if (!m_root) return;
    std::vector<CControlUI*> all;
    m_root->WalkTree(CollectInto, &all, kFindVisible | kFindEnabled | kFindMeFirst);
    std::vector<CControlUI*> stops;
    for (CControlUI* c : all)
        if (c->AcceptsFocus() && c->IsKeyboardEnabled()) stops.push_back(c);
    if (stops.empty()) return;
    auto it = std::find(stops.begin(), stops.end(), m_focus);
    std::size_t index;
    if (it == stops.end()) index = forward ? 0 : stops.size() - 1;
    else {
        std::size_t cur = static_cast<std::size_t>(it - stops.begin());
        index = forward ? (cur + 1) % stops.size() : (cur + stops.size() - 1) % stops.size();
    }
    stops[index]->TakeFocus();
}

bool CSkinManagerUI::PreMessageHandler(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    std::vector<IMessageFilterUI*> filters = m_filters;   // a filter may unregister itself
    for (IMessageFilterUI* f : filters) {
        if (std::find(m_filters.begin(), m_filters.end(), f) == m_filters.end()) continue;
        bool handled = false;
        LRESULT r = f->FilterMessage(message, wParam, lParam, handled);
        if (handled) {
            result = r;
            return true;
        }
    }
    switch (message) {
    case WM_KEYDOWN:
        if (wParam == VK_TAB) {
            MoveFocus(::GetKeyState(VK_SHIFT) >= 0);
            return true;
        }
        break;
    case WM_SYSCHAR: {
        if (!m_root) break;
        wchar_t ch = static_cast<wchar_t>(
            reinterpret_cast<ULONG_PTR>(::CharUpperW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(wParam & 0xFFFF)))));
        std::vector<CControlUI*> all;
        m_root->WalkTree(CollectInto, &all, kFindVisible | kFindEnabled | kFindMeFirst);
        for (CControlUI* c : all) {
            if (c->GetShortcut() != 0 && c->GetShortcut() == ch) {
                c->TakeFocus();
                c->Trigger();
                return true;
            }
        }
        break;
    }
    case WM_SYSKEYDOWN:
        if (m_focus) SendEvent(m_focus, kEventSysKey, wParam, lParam);
        break;
    default:
        break;
    }
    return false;
}

// The hot control stops being hot before it hears of it, so that its handler sees the new
// state; its tooltip goes with it.
void CSkinManagerUI::ClearHotControl() {
    HideTooltip();
    CControlUI* old = m_hot;
    m_hot = nullptr;
    if (old) SendEvent(old, kEventMouseLeave);
}

// Arms hover and leave tracking; the hover time is the tooltip's.
void CSkinManagerUI::TrackMouse() {
    if (m_tracking) return;
    DWORD hover = 400;
    if (m_tooltip) hover = static_cast<DWORD>(::SendMessageW(m_tooltip, TTM_GETDELAYTIME, TTDT_INITIAL, 0));
    TRACKMOUSEEVENT tme{sizeof(tme), TME_HOVER | TME_LEAVE, m_hwnd, hover};
    ::TrackMouseEvent(&tme);
    m_tracking = true;
}

bool CSkinManagerUI::OnClose() {
    ClearHotControl();
    if (m_click) {
        // Released away from every control, so that closing never counts as a click.
        CControlUI* click = m_click;
        m_click = nullptr;
        POINT nowhere{-32768, -32768};
        SendEvent(click, kEventButtonUp, 0, 0, &nowhere);
    }
    SetFocusControl(nullptr);
    HWND owner = ::GetWindow(m_hwnd, GW_OWNER);
    if (!owner) owner = ::GetParent(m_hwnd);
    if (owner) ::SetFocus(owner);
    return false;
}

bool CSkinManagerUI::OnSize() {
    if (m_focus) SendEvent(m_focus, kEventWindowSize);
    if (m_root) RequestLayout();
    return false;
}

bool CSkinManagerUI::OnMouseMove(LPARAM lParam) {
    TrackMouse();
    m_lastMouse = PointOf(lParam);
    CControlUI* control = LookupControl(m_lastMouse);
    if (control != m_hot) {
        ClearHotControl();
        m_hot = control;
        if (control) SendEvent(control, kEventMouseEnter);
    }
    // A pressed control follows the pointer wherever it goes.
    SendEvent(m_click ? m_click : control, kEventMouseMove, 0, lParam);
    return false;
}

bool CSkinManagerUI::OnMouseLeave() {
    m_tracking = false;
    if (m_click) HideTooltip();   // a pressed control stays hot until the button goes up
    else ClearHotControl();
    return false;
}

bool CSkinManagerUI::OnMouseHover() {
    m_tracking = false;   // hover tracking is one-shot: the next move arms it again
    ShowTooltip();
    return true;
}

bool CSkinManagerUI::OnButtonDown(int eventType, LPARAM lParam) {
    ::SetFocus(m_hwnd);
    m_lastMouse = PointOf(lParam);
    CControlUI* control = LookupControl(m_lastMouse);
    if (!control) return false;
    m_click = control;
    control->TakeFocus();
    ::SetCapture(m_hwnd);
    if (m_click == control) SendEvent(control, eventType, 0, lParam);
    return false;
}

bool CSkinManagerUI::OnButtonUp(LPARAM lParam) {
    m_lastMouse = PointOf(lParam);
    ::ReleaseCapture();
    CControlUI* click = m_click;
    m_click = nullptr;   // cleared first: the click's handler may run a modal loop
    SendEvent(click, kEventButtonUp, 0, lParam);
    return false;
}

bool CSkinManagerUI::OnRightButtonDown(LPARAM lParam) {
    ::SetFocus(m_hwnd);
    m_lastMouse = PointOf(lParam);
    SendEvent(LookupControl(m_lastMouse), kEventRightButtonDown, 0, lParam);
    return false;
}

bool CSkinManagerUI::OnContextMenu(LPARAM lParam) {
    SendEvent(m_hot, kEventContextMenu, 0, lParam);
    return false;
}

bool CSkinManagerUI::OnMouseWheel(WPARAM wParam, LPARAM lParam) {
    POINT pt = PointOf(lParam);   // screen coordinates
    ::ScreenToClient(m_hwnd, &pt);
    m_lastMouse = pt;
    SendEvent(LookupControl(pt), kEventScrollWheel, wParam, lParam);
    return false;
}

bool CSkinManagerUI::OnSetCursor(LPARAM lParam, LRESULT& result) {
    if (LOWORD(lParam) != HTCLIENT) return false;
    POINT pt;
    ::GetCursorPos(&pt);
    ::ScreenToClient(m_hwnd, &pt);
    CControlUI* control = LookupControl(pt);
    if (!control) return false;
    SendEvent(control, kEventSetCursor, 0, 0, &pt);
    result = TRUE;
    return true;
}

bool CSkinManagerUI::OnKey(int eventType, WPARAM wParam, LPARAM lParam) {
    SendEvent(m_focus, eventType, wParam, lParam);
    return false;
}

}  // namespace SkinUI
