// The toolkit's window base classes on Windows.
#include "SkinUI/skin_window.h"

#include <windowsx.h>

#include "SkinUI/skin_builder.h"
#include "SkinUI/skin_controls.h"
#include "SkinUI/skin_layout.h"
#include "SkinUI/skin_rect.h"
#include "SkinUI/skin_settings.h"
#include "SkinUI/skin_values.h"
#include "log/rklog.h"

namespace SkinUI {

// ---------------------------------------------------------------- CWindowWnd

bool CWindowWnd::RegisterWindowClass() {
    const std::wstring className = WindowClassName();
    WNDCLASSW wc{};
    wc.style = WindowClassStyle();
    wc.lpfnWndProc = CWindowWnd::WindowProc;
    wc.hInstance = GetModuleInstance();
    wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.lpszClassName = className.c_str();
    return ::RegisterClassW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

HWND CWindowWnd::CreateFrame(HWND parent, const wchar_t* name, DWORD style, DWORD exStyle, int x, int y, int cx,
                             int cy, HMENU menu) {
    if (m_hwnd && ::IsWindow(m_hwnd)) return nullptr;   // one system window per object
    if (!RegisterWindowClass()) {
        LOG_STREAM(rklog::kError) << "window class registration failed: " << ::GetLastError();
        return nullptr;
    }
    const std::wstring className = WindowClassName();
    HWND hwnd = ::CreateWindowExW(exStyle, className.c_str(), name, style, x, y, cx, cy, parent, menu,
                                  GetModuleInstance(), this);
    if (!hwnd) LOG_STREAM(rklog::kError) << "window creation failed: " << ::GetLastError();
    return hwnd;
}

void CWindowWnd::ShowFrame(bool show, bool takeFocus) {
    if (!m_hwnd || !::IsWindow(m_hwnd)) return;
    ::ShowWindow(m_hwnd, !show ? SW_HIDE : (takeFocus ? SW_SHOWNORMAL : SW_SHOWNOACTIVATE));
}

UINT CWindowWnd::RunModal() {
    if (!m_hwnd || !::IsWindow(m_hwnd)) return 0;
    const HWND self = m_hwnd;
    HWND owner = ::GetWindow(self, GW_OWNER);
    ::ShowWindow(self, SW_SHOWNORMAL);
    if (owner) ::EnableWindow(owner, FALSE);
    UINT result = 0;
    bool quit = false;
    MSG msg{};
    while (::IsWindow(self)) {
        BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            quit = true;
            break;
        }
        if (got == -1) break;   // a broken queue must not spin
        if (msg.message == WM_CLOSE && msg.hwnd == self) {
            result = static_cast<UINT>(msg.wParam);
            // The owner is enabled before the box goes, so that activation returns to it.
            if (owner) {
                ::EnableWindow(owner, TRUE);
                ::SetFocus(owner);
            }
        }
        if (!PreTranslate(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    if (owner) {
        ::EnableWindow(owner, TRUE);
        ::SetFocus(owner);
    }
    if (quit) ::PostQuitMessage(static_cast<int>(msg.wParam));
    return result;
}

void CWindowWnd::CloseWithCode(UINT code) {
    if (!m_hwnd || !::IsWindow(m_hwnd)) return;
    ::PostMessageW(m_hwnd, WM_CLOSE, code, 0);
}

void CWindowWnd::CentreOnOwner() {
    if (!m_hwnd || !::IsWindow(m_hwnd)) return;
    RECT w;
    ::GetWindowRect(m_hwnd, &w);
    HWND owner = ::GetWindow(m_hwnd, GW_OWNER);
    MONITORINFO mi{};
    mi.cbSize = sizeof(mi);
    ::GetMonitorInfoW(::MonitorFromWindow(owner ? owner : m_hwnd, MONITOR_DEFAULTTONEAREST), &mi);
    RECT centre = mi.rcWork;
    if (owner && !::IsIconic(owner)) ::GetWindowRect(owner, &centre);
    SkinSize pos = CentredPosition(SkinSize{w.right - w.left, w.bottom - w.top}, ToSkinRect(centre),
                                   ToSkinRect(mi.rcWork));
    ::SetWindowPos(m_hwnd, nullptr, pos.cx, pos.cy, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CWindowWnd::SetWindowIcon(UINT resourceId) {
    if (!m_hwnd) return;
    HINSTANCE instance = GetModuleInstance();
    HANDLE big = ::LoadImageW(instance, MAKEINTRESOURCEW(resourceId), IMAGE_ICON, ::GetSystemMetrics(SM_CXICON),
                              ::GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR);
    ::SendMessageW(m_hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    HANDLE small = ::LoadImageW(instance, MAKEINTRESOURCEW(resourceId), IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR);
    ::SendMessageW(m_hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
}

void CWindowWnd::RunMessageLoop() {
    MSG msg{};
    for (;;) {
        BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) break;
        if (!PreTranslate(&msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
}

bool CWindowWnd::PreTranslate(MSG* msg) {
    if (!msg || !msg->hwnd) return false;
    const bool child = (::GetWindowLongW(msg->hwnd, GWL_STYLE) & WS_CHILD) != 0;
    for (CSkinManagerUI* manager : CSkinManagerUI::ThreadManagers()) {
        // An earlier filter may have closed a window and released its manager.
        if (!CSkinManagerUI::IsManagerListed(manager)) continue;
        HWND window = manager->GetWindowHandle();
        if (!window) continue;
        LRESULT result = 0;
        if (child) {
            if (!::IsChild(window, msg->hwnd)) continue;
            if (manager->PreMessageHandler(msg->message, msg->wParam, msg->lParam, result)) return true;
        } else if (window == msg->hwnd) {
            return manager->PreMessageHandler(msg->message, msg->wParam, msg->lParam, result);
        }
    }
    return false;
}

LRESULT CWindowWnd::ProcessMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return ::CallWindowProcW(m_previousProc, m_hwnd, message, wParam, lParam);
}

LRESULT CALLBACK CWindowWnd::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CWindowWnd* self = nullptr;
    if (message == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
        self = static_cast<CWindowWnd*>(cs->lpCreateParams);
        if (self) {
            self->m_hwnd = hwnd;
            ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        }
    } else {
        self = reinterpret_cast<CWindowWnd*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (message == WM_NCDESTROY && self) {
            LRESULT result = ::CallWindowProcW(self->m_previousProc, hwnd, message, wParam, lParam);
            ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
            self->m_hwnd = nullptr;
            self->OnWindowDestroyed();
            return result;
        }
    }
    if (self) return self->ProcessMessage(message, wParam, lParam);
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

// ---------------------------------------------------------------- CNotifyPump

bool CNotifyPump::NotifyPump(NotifyRecord& record) {
    for (const MessageMap* map = GetMessageMap(); map; map = map->base) {
        const MapEntry* match = nullptr;
        for (std::size_t i = 0; i < map->count; ++i) {
            const MapEntry& e = map->entries[i];
            if (record.type != e.type) continue;
            const std::wstring vw = e.virtualWindow ? e.virtualWindow : L"";
            if (!vw.empty() && vw == record.virtualWindow) {
                match = &e;   // an entry with an equal name beats one that matches any
                break;
            }
            if (vw.empty() && !match) match = &e;
        }
        if (match) {
            if (match->signature == 1 && match->onParams) match->onParams(this, record.wParam, record.lParam);
            else if (match->signature == 2 && match->onRecord) match->onRecord(this, record);
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------- WindowImplBase

namespace {

void ClickThunk(CNotifyPump* self, NotifyRecord& record);

const CNotifyPump::MapEntry kWindowImplEntries[] = {
    {L"click", L"", 2, ClickThunk, nullptr},
};
const CNotifyPump::MessageMap kWindowImplMap = {nullptr, kWindowImplEntries, 1};

}  // namespace

// Reaches the protected handler of the window that owns the pump.
struct WindowImplAccess : WindowImplBase {
    static void Click(WindowImplBase* w, NotifyRecord& r) { (w->*(&WindowImplAccess::HandleClick))(r); }
};

namespace {
void ClickThunk(CNotifyPump* self, NotifyRecord& record) {
    WindowImplAccess::Click(static_cast<WindowImplBase*>(self), record);
}
}  // namespace

const CNotifyPump::MessageMap* WindowImplBase::GetMessageMap() const { return &kWindowImplMap; }

void WindowImplBase::OnNotification(NotifyRecord& record) { NotifyPump(record); }

LRESULT WindowImplBase::FilterMessage(UINT message, WPARAM wParam, LPARAM, bool&) {
    if (message == WM_KEYDOWN && (wParam == VK_RETURN || wParam == VK_ESCAPE)) return HandleDefaultKey(wParam);
    return 0;
}

LRESULT WindowImplBase::HandleDefaultKey(WPARAM key) {
    if (key == VK_ESCAPE) {
        CloseWithCode(1);
        return 1;
    }
    return 0;
}

void WindowImplBase::HandleClick(NotifyRecord& record) {
    if (!record.sender) return;
    const std::wstring& name = record.sender->GetName();
    if (name == L"closebtn") CloseWithCode(1);
    else if (name == L"minbtn") ::SendMessageW(m_hwnd, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    else if (name == L"maxbtn") ::SendMessageW(m_hwnd, WM_SYSCOMMAND, SC_MAXIMIZE, 0);
    else if (name == L"restorebtn") ::SendMessageW(m_hwnd, WM_SYSCOMMAND, SC_RESTORE, 0);
}

void WindowImplBase::OnWindowDestroyed() {
    m_manager.RemoveMessageFilter(this);
    m_manager.RemoveNotifyTarget(this);
    if (m_manager.GetRoot()) m_manager.ForgetControl(m_manager.GetRoot());
    m_manager.UnbindWindow();
}

LRESULT WindowImplBase::OnClose(UINT, WPARAM, LPARAM, bool& handled) { handled = false; return 0; }
LRESULT WindowImplBase::OnDestroy(UINT, WPARAM, LPARAM, bool& handled) { handled = false; return 0; }

LRESULT WindowImplBase::OnNcActivate(UINT, WPARAM wParam, LPARAM, bool& handled) {
    if (::IsIconic(m_hwnd)) handled = false;
    return wParam == 0 ? TRUE : FALSE;
}

LRESULT WindowImplBase::OnNcCalcSize(UINT, WPARAM wParam, LPARAM lParam, bool&) {
    RECT* proposed = wParam ? &reinterpret_cast<NCCALCSIZE_PARAMS*>(lParam)->rgrc[0] : reinterpret_cast<RECT*>(lParam);
    if (::IsZoomed(m_hwnd)) {
        MONITORINFO mi{};
        mi.cbSize = sizeof(mi);
        ::GetMonitorInfoW(::MonitorFromWindow(m_hwnd, MONITOR_DEFAULTTONEAREST), &mi);
        proposed->right = proposed->left + (mi.rcWork.right - mi.rcWork.left);
        proposed->bottom = proposed->top + (mi.rcWork.bottom - mi.rcWork.top);
        return WVR_REDRAW;
    }
    return 0;
}

LRESULT WindowImplBase::OnNcPaint(UINT, WPARAM, LPARAM, bool&) { return 0; }

LRESULT WindowImplBase::OnNcHitTest(UINT, WPARAM, LPARAM lParam, bool&) {
    POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    ::ScreenToClient(m_hwnd, &pt);
    RECT r;
    ::GetClientRect(m_hwnd, &r);
    if (!::IsZoomed(m_hwnd)) {
        const RECT& box = m_manager.GetSizeBox();
        if (pt.y < r.top + box.top) {
            if (pt.x < r.left + box.left) return HTTOPLEFT;
            if (pt.x > r.right - box.right) return HTTOPRIGHT;
            return HTTOP;
        }
        if (pt.y > r.bottom - box.bottom) {
            if (pt.x < r.left + box.left) return HTBOTTOMLEFT;
            if (pt.x > r.right - box.right) return HTBOTTOMRIGHT;
            return HTBOTTOM;
        }
        if (pt.x < r.left + box.left) return HTLEFT;
        if (pt.x > r.right - box.right) return HTRIGHT;
    }
    const RECT& cap = m_manager.GetCaptionArea();
    if (pt.x >= r.left + cap.left && pt.x < r.right - cap.right && pt.y >= cap.top && pt.y < cap.bottom) {
        CControlUI* control = m_manager.LookupControl(pt);
        if (control) {
            const std::wstring cls = control->ClassName();
            if (cls != L"ButtonUI" && cls != L"OptionUI" && cls != L"TextUI") return HTCAPTION;
        }
    }
    return HTCLIENT;
}

LRESULT WindowImplBase::OnGetMinMaxInfo(UINT, WPARAM, LPARAM lParam, bool& handled) {
    auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
    MONITORINFO mi{};
    mi.cbSize = sizeof(mi);
    ::GetMonitorInfoW(::MonitorFromWindow(m_hwnd, MONITOR_DEFAULTTONEAREST), &mi);
    info->ptMaxPosition.x = mi.rcWork.left - mi.rcMonitor.left;
    info->ptMaxPosition.y = mi.rcWork.top - mi.rcMonitor.top;
    info->ptMaxTrackSize.x = mi.rcWork.right - mi.rcWork.left;
    info->ptMaxTrackSize.y = mi.rcWork.bottom - mi.rcWork.top;
    SIZE minInfo = m_manager.GetMinInfo();
    info->ptMinTrackSize.x = minInfo.cx;
    info->ptMinTrackSize.y = minInfo.cy;
    handled = false;
    return 0;
}

LRESULT WindowImplBase::OnMouseWheel(UINT, WPARAM, LPARAM, bool& handled) { handled = false; return 0; }
LRESULT WindowImplBase::OnMouseHover(UINT, WPARAM, LPARAM, bool& handled) { handled = false; return 0; }

LRESULT WindowImplBase::OnSize(UINT, WPARAM, LPARAM, bool& handled) {
    SIZE corner = m_manager.GetCornerSize();
    if (!::IsIconic(m_hwnd) && (corner.cx != 0 || corner.cy != 0)) {
        RECT rc;
        ::GetWindowRect(m_hwnd, &rc);
        ::OffsetRect(&rc, -rc.left, -rc.top);
        HRGN region = ::CreateRoundRectRgn(0, 0, rc.right + 1, rc.bottom + 1, corner.cx, corner.cy);
        // Once set, the region belongs to the system and must not be deleted here.
        if (region && !::SetWindowRgn(m_hwnd, region, TRUE)) ::DeleteObject(region);
    }
    handled = false;
    return 0;
}

LRESULT WindowImplBase::OnChar(UINT, WPARAM, LPARAM, bool& handled) { handled = false; return 0; }

LRESULT WindowImplBase::OnSysCommand(UINT message, WPARAM wParam, LPARAM lParam, bool&) {
    if ((wParam & 0xFFF0) == SC_CLOSE) {
        ::SendMessageW(m_hwnd, WM_CLOSE, 0, 0);
        return 0;
    }
    BOOL zoomed = ::IsZoomed(m_hwnd);
    LRESULT result = CWindowWnd::ProcessMessage(message, wParam, lParam);
    if (m_hwnd && ::IsZoomed(m_hwnd) != zoomed) {
        CControlUI* maxButton = m_manager.LookupControl(L"maxbtn");
        CControlUI* restoreButton = m_manager.LookupControl(L"restorebtn");
        if (maxButton && restoreButton) {
            maxButton->SetShown(zoomed != FALSE);
            restoreButton->SetShown(zoomed == FALSE);
        }
    }
    return result;
}

void WindowImplBase::OnSkinLoadFailed() {
    ::MessageBoxW(nullptr, L"加载资源文件失败", L"SkinUI", MB_ICONERROR);
    ::ExitProcess(1);
}

LRESULT WindowImplBase::OnWindowCreated(UINT, WPARAM, LPARAM, bool&) {
    LONG style = ::GetWindowLongW(m_hwnd, GWL_STYLE);
    style &= ~WS_CAPTION;
    style |= WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
    ::SetWindowLongW(m_hwnd, GWL_STYLE, style);
    RECT client;
    ::GetClientRect(m_hwnd, &client);
    ::SetWindowPos(m_hwnd, nullptr, client.left, client.top, client.right - client.left, client.bottom - client.top,
                   SWP_FRAMECHANGED);

    m_manager.BindWindow(m_hwnd);
    m_manager.AddMessageFilter(this);

    std::wstring folder = GetResourcePath();
    if (folder.empty()) {
        folder = GetInstancePath() + SkinFolderPath();
        if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    }
    m_manager.SetResourceFolder(folder);

    CSkinBuilder builder;
    CControlUI* root = nullptr;
    const UINT kind = SkinSourceKind();
    if (kind == 3) {
        unsigned id = static_cast<unsigned>(ParseInteger(SkinSource()));
        root = builder.Build(id, L"xml", this, &m_manager);
    } else if (kind == 1) {
        root = builder.Build(SkinSource(), this, &m_manager);
    }
    if (!root) OnSkinLoadFailed();

    m_manager.AttachTree(root);
    m_manager.AddNotifyTarget(this);
    OnSkinBuilt();
    return 0;
}

LRESULT WindowImplBase::OnKeyDown(UINT, WPARAM, LPARAM, bool& handled) { handled = false; return 0; }
LRESULT WindowImplBase::OnKillFocus(UINT, WPARAM, LPARAM, bool& handled) { handled = false; return 0; }
LRESULT WindowImplBase::OnSetFocus(UINT, WPARAM, LPARAM, bool& handled) { handled = false; return 0; }
LRESULT WindowImplBase::OnLButtonDown(UINT, WPARAM, LPARAM, bool& handled) { handled = false; return 0; }
LRESULT WindowImplBase::OnLButtonUp(UINT, WPARAM, LPARAM, bool& handled) { handled = false; return 0; }
LRESULT WindowImplBase::OnMouseMove(UINT, WPARAM, LPARAM, bool& handled) { handled = false; return 0; }
LRESULT WindowImplBase::HandleOtherMessage(UINT, WPARAM, LPARAM, bool& handled) { handled = false; return 0; }

LONG WindowImplBase::GetFrameStyle() { return ::GetWindowLongW(m_hwnd, GWL_STYLE) & ~WS_CAPTION; }

LRESULT WindowImplBase::ProcessMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    bool handled = true;
    switch (message) {
    case WM_CREATE: result = OnWindowCreated(message, wParam, lParam, handled); break;
    case WM_CLOSE: result = OnClose(message, wParam, lParam, handled); break;
    case WM_DESTROY: result = OnDestroy(message, wParam, lParam, handled); break;
    case WM_NCACTIVATE: result = OnNcActivate(message, wParam, lParam, handled); break;
    case WM_NCCALCSIZE: result = OnNcCalcSize(message, wParam, lParam, handled); break;
    case WM_NCPAINT: result = OnNcPaint(message, wParam, lParam, handled); break;
    case WM_NCHITTEST: result = OnNcHitTest(message, wParam, lParam, handled); break;
    case WM_GETMINMAXINFO: result = OnGetMinMaxInfo(message, wParam, lParam, handled); break;
    case WM_MOUSEWHEEL: result = OnMouseWheel(message, wParam, lParam, handled); break;
    case WM_SIZE: result = OnSize(message, wParam, lParam, handled); break;
    case WM_CHAR: result = OnChar(message, wParam, lParam, handled); break;
    case WM_SYSCOMMAND: result = OnSysCommand(message, wParam, lParam, handled); break;
    case WM_KEYDOWN: result = OnKeyDown(message, wParam, lParam, handled); break;
    case WM_KILLFOCUS: result = OnKillFocus(message, wParam, lParam, handled); break;
    case WM_SETFOCUS: result = OnSetFocus(message, wParam, lParam, handled); break;
    case WM_LBUTTONUP: result = OnLButtonUp(message, wParam, lParam, handled); break;
    case WM_LBUTTONDOWN: result = OnLButtonDown(message, wParam, lParam, handled); break;
    case WM_MOUSEMOVE: result = OnMouseMove(message, wParam, lParam, handled); break;
    case WM_MOUSEHOVER: result = OnMouseHover(message, wParam, lParam, handled); break;
    default: handled = false; break;
    }
    if (handled) return result;
    handled = true;
    result = HandleOtherMessage(message, wParam, lParam, handled);
    if (handled) return result;
    if (m_manager.MessageHandler(message, wParam, lParam, result)) return result;
    return CWindowWnd::ProcessMessage(message, wParam, lParam);
}

}  // namespace SkinUI
