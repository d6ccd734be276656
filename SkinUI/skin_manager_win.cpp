// The paint manager's core: its window and the process-wide list of filtering managers, the
// control tree with its names, focus, and the notifications.
#include "SkinUI/skin_manager.h"

#include <algorithm>
#include <mutex>

#include "SkinUI/skin_controls.h"

namespace SkinUI {
namespace {

// Process-wide list of the paint managers that pre-filter messages. A failure box may run its
// modal loop on a worker thread while the UI thread runs its own loop, so the list is guarded
// by a lock, and each loop only takes the managers of windows that belong to its own thread
// (messages retrieved by a thread are only ever for that thread's windows). The lock is never
// held while a filter runs, so a filter may itself open a modal box.
struct ListedManager {
    CSkinManagerUI* manager;
    DWORD thread;
};
std::mutex g_listMutex;
std::vector<ListedManager> g_managers;

UINT AsyncNotifyMessage() {
    static const UINT message = ::RegisterWindowMessageW(L"SkinUI.AsyncNotify");
    return message;
}

bool IsWithin(CControlUI* control, CControlUI* ancestor) {
    for (CControlUI* c = control; c; c = c->GetParent())
        if (c == ancestor) return true;
    return false;
}

}  // namespace

CSkinManagerUI::CSkinManagerUI() : m_defaultTextColour(0xFF000000), m_disabledTextColour(0xFFA7A6AA) {
    EnsureProcessDefaults();
}

CSkinManagerUI::~CSkinManagerUI() {
    UnbindWindow();
    m_hot = m_click = m_focus = nullptr;
    CControlUI* root = m_root;
    m_root = nullptr;
    delete root;
    m_names.clear();
    m_asyncQueue.clear();
    for (auto& f : m_fonts) ::DeleteObject(f.second.font);
    if (m_defaultFont) ::DeleteObject(m_defaultFont->font);
    for (auto& i : m_images)
        if (i.second) ::DeleteObject(i.second->bitmap);
}

void CSkinManagerUI::BindWindow(HWND hwnd) {
    UnbindWindow();
    m_hwnd = hwnd;
    DWORD thread = ::GetWindowThreadProcessId(hwnd, nullptr);
    std::lock_guard<std::mutex> lock(g_listMutex);
    g_managers.push_back(ListedManager{this, thread ? thread : ::GetCurrentThreadId()});
}

void CSkinManagerUI::UnbindWindow() {
    {
        std::lock_guard<std::mutex> lock(g_listMutex);
        g_managers.erase(std::remove_if(g_managers.begin(), g_managers.end(),
                                        [this](const ListedManager& m) { return m.manager == this; }),
                         g_managers.end());
    }
    if (m_tooltip && ::IsWindow(m_tooltip)) ::DestroyWindow(m_tooltip);
    m_tooltip = nullptr;
    m_tracking = false;
    m_hwnd = nullptr;
}

std::vector<CSkinManagerUI*> CSkinManagerUI::ThreadManagers() {
    std::vector<CSkinManagerUI*> out;
    DWORD thread = ::GetCurrentThreadId();
    std::lock_guard<std::mutex> lock(g_listMutex);
    for (auto it = g_managers.rbegin(); it != g_managers.rend(); ++it)
        if (it->thread == thread) out.push_back(it->manager);
    return out;
}

bool CSkinManagerUI::IsManagerListed(CSkinManagerUI* manager) {
    std::lock_guard<std::mutex> lock(g_listMutex);
    return std::any_of(g_managers.begin(), g_managers.end(),
                       [manager](const ListedManager& m) { return m.manager == manager; });
}

bool CSkinManagerUI::AttachTree(CControlUI* root) {
    if (!root) return false;
    if (m_root && m_root != root) {
        CControlUI* old = m_root;
        m_root = nullptr;
        ForgetControl(old);
        delete old;
    }
    m_hot = m_click = m_focus = nullptr;
    m_names.clear();
    m_root = root;
    m_root->BindManager(this, nullptr, true);
    m_firstLayout = true;
    RequestLayout();
    return true;
}

void CSkinManagerUI::RegisterName(CControlUI* control) {
    if (control && !control->GetName().empty()) m_names.emplace(control->GetName(), control);
}

CControlUI* CSkinManagerUI::LookupControl(const std::wstring& name) const {
    auto it = m_names.find(name);
    return it == m_names.end() ? nullptr : it->second;
}

CControlUI* CSkinManagerUI::LookupControl(POINT pt) const {
    if (!m_root) return nullptr;
    return m_root->WalkTree(
        [](CControlUI* c, void*) -> CControlUI* { return c->IsMouseEnabled() ? c : nullptr; }, &pt,
        kFindVisible | kFindHitTest | kFindTopFirst);
}

void CSkinManagerUI::ForgetControl(CControlUI* control) {
    if (!control) return;
    if (IsWithin(m_hot, control)) m_hot = nullptr;
    if (IsWithin(m_click, control)) m_click = nullptr;
    if (IsWithin(m_focus, control)) m_focus = nullptr;
    for (auto it = m_names.begin(); it != m_names.end();)
        it = IsWithin(it->second, control) ? m_names.erase(it) : std::next(it);
    m_asyncQueue.erase(std::remove_if(m_asyncQueue.begin(), m_asyncQueue.end(),
                                      [control](const NotifyRecord& r) { return IsWithin(r.sender, control); }),
                       m_asyncQueue.end());
}

void CSkinManagerUI::AddNotifyTarget(INotifyUI* target) {
    if (target && std::find(m_notifiers.begin(), m_notifiers.end(), target) == m_notifiers.end())
        m_notifiers.push_back(target);
}

void CSkinManagerUI::RemoveNotifyTarget(INotifyUI* target) {
    m_notifiers.erase(std::remove(m_notifiers.begin(), m_notifiers.end(), target), m_notifiers.end());
}

void CSkinManagerUI::AddMessageFilter(IMessageFilterUI* filter) {
    if (filter && std::find(m_filters.begin(), m_filters.end(), filter) == m_filters.end())
        m_filters.push_back(filter);
}

void CSkinManagerUI::RemoveMessageFilter(IMessageFilterUI* filter) {
    m_filters.erase(std::remove(m_filters.begin(), m_filters.end(), filter), m_filters.end());
}

void CSkinManagerUI::DispatchNotification(CControlUI* sender, const std::wstring& type, WPARAM wParam,
                                          LPARAM lParam, bool async) {
    NotifyRecord record;
    record.type = type;
    record.sender = sender;
    record.timestamp = ::GetTickCount();
    record.mousePos = m_lastMouse;
    record.wParam = wParam;
    record.lParam = lParam;
    if (async) {
        m_asyncQueue.push_back(record);
        if (m_hwnd) ::PostMessageW(m_hwnd, AsyncNotifyMessage(), 0, 0);
        return;
    }
    Deliver(record);
}

void CSkinManagerUI::Deliver(NotifyRecord& record) {
    if (record.sender) record.sender->CallNotifyDelegates(record);
    std::vector<INotifyUI*> targets = m_notifiers;   // a handler may unregister itself
    for (INotifyUI* t : targets)
        if (std::find(m_notifiers.begin(), m_notifiers.end(), t) != m_notifiers.end()) t->OnNotification(record);
}

void CSkinManagerUI::FlushAsyncNotifications() {
    while (!m_asyncQueue.empty()) {
        NotifyRecord record = m_asyncQueue.front();
        m_asyncQueue.pop_front();
        Deliver(record);
    }
}

void CSkinManagerUI::SetInitialSize(int cx, int cy) {
    m_initialSize = SIZE{cx, cy};
    if (!m_root && m_hwnd)
        ::SetWindowPos(m_hwnd, nullptr, 0, 0, cx, cy, SWP_NOZORDER | SWP_NOMOVE | SWP_NOACTIVATE);
}

void CSkinManagerUI::RequestLayout() {
    m_layoutNeeded = true;
    if (m_hwnd) ::InvalidateRect(m_hwnd, nullptr, FALSE);
}

void CSkinManagerUI::Invalidate(const RECT& rc) {
    if (m_hwnd) ::InvalidateRect(m_hwnd, &rc, FALSE);
}

void CSkinManagerUI::SetFocusControl(CControlUI* control) {
    if (control == m_focus) return;
    CControlUI* old = m_focus;
    m_focus = control;
    if (old) SendEvent(old, kEventKillFocus);
    if (control && control == m_focus) SendEvent(control, kEventSetFocus);
}

void CSkinManagerUI::SendEvent(CControlUI* control, int type, WPARAM key, LPARAM lParam, POINT* at) {
    if (!control) return;
    ControlEvent ev;
    ev.type = type;
    ev.sender = control;
    ev.timestamp = ::GetTickCount();
    ev.mousePos = at ? *at : m_lastMouse;
    ev.key = key;
    ev.lParam = lParam;
    control->HandleEvent(ev);
}

// One handler per message, after the window's own handlers; each answers whether it consumed
// the message.
bool CSkinManagerUI::MessageHandler(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    result = 0;
    if (!m_hwnd) return false;
    if (message == AsyncNotifyMessage()) {
        FlushAsyncNotifications();
        return true;
    }
    switch (message) {
    case WM_CLOSE: return OnClose();
    case WM_ERASEBKGND: return OnEraseBackground(result);
    case WM_PAINT: return OnPaint();
    case WM_PRINTCLIENT: return OnPrintClient(reinterpret_cast<HDC>(wParam));
    case WM_SIZE: return OnSize();
    case WM_MOUSEMOVE: return OnMouseMove(lParam);
    case WM_MOUSELEAVE: return OnMouseLeave();
    case WM_MOUSEHOVER: return OnMouseHover();
    case WM_LBUTTONDOWN: return OnButtonDown(kEventButtonDown, lParam);
    case WM_LBUTTONDBLCLK: return OnButtonDown(kEventDoubleClick, lParam);
    case WM_LBUTTONUP: return OnButtonUp(lParam);
    case WM_RBUTTONDOWN: return OnRightButtonDown(lParam);
    case WM_CONTEXTMENU: return OnContextMenu(lParam);
    case WM_MOUSEWHEEL: return OnMouseWheel(wParam, lParam);
    case WM_SETCURSOR: return OnSetCursor(lParam, result);
    case WM_KEYDOWN: return OnKey(kEventKeyDown, wParam, lParam);
    case WM_KEYUP: return OnKey(kEventKeyUp, wParam, lParam);
    case WM_CHAR: return OnKey(kEventChar, wParam, lParam);
    default: return false;
    }
}

}  // namespace SkinUI
