#include "SkinUI/skin_manager.h"

#include <windowsx.h>
#include <commctrl.h>

#include <algorithm>
#include <mutex>

#include "SkinUI/skin_controls.h"
#include "SkinUI/skin_pixels.h"
#include "SkinUI/skin_render.h"
#include "SkinUI/skin_settings.h"
#include "app/core/ascii.h"
#include "log/rklog.h"

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

// Defaults set once per process by the first paint manager.
struct ProcessDefaults {
    SkinFont font;
};
std::once_flag g_defaultsOnce;
ProcessDefaults* g_defaults = nullptr;

std::mutex g_sharedFontMutex;
std::map<std::wstring, SkinFont>& SharedFonts() {
    static std::map<std::wstring, SkinFont> fonts;
    return fonts;
}

UINT AsyncNotifyMessage() {
    static const UINT message = ::RegisterWindowMessageW(L"SkinUI.AsyncNotify");
    return message;
}

int FontTextHeight(HFONT font) {
    HDC dc = ::GetDC(nullptr);
    HGDIOBJ old = ::SelectObject(dc, font);
    TEXTMETRICW tm{};
    ::GetTextMetricsW(dc, &tm);
    ::SelectObject(dc, old);
    ::ReleaseDC(nullptr, dc);
    return tm.tmHeight;
}

SkinFont MakeFont(const std::wstring& face, int size, bool bold, bool underline, bool italic) {
    SkinFont f;
    ::GetObjectW(::GetStockObject(DEFAULT_GUI_FONT), sizeof(LOGFONTW), &f.description);
    if (!face.empty()) ::lstrcpynW(f.description.lfFaceName, face.c_str(), LF_FACESIZE);
    f.description.lfCharSet = DEFAULT_CHARSET;
    f.description.lfHeight = -size;
    if (bold) f.description.lfWeight = std::min<LONG>(1000, f.description.lfWeight + FW_BOLD);
    f.description.lfUnderline = underline ? TRUE : FALSE;
    f.description.lfItalic = italic ? TRUE : FALSE;
    f.font = ::CreateFontIndirectW(&f.description);
    f.textHeight = f.font ? FontTextHeight(f.font) : 0;
    return f;
}

void EnsureProcessDefaults() {
    std::call_once(g_defaultsOnce, [] {
        auto* d = new ProcessDefaults();   // lives as long as the process
        ::GetObjectW(::GetStockObject(DEFAULT_GUI_FONT), sizeof(LOGFONTW), &d->font.description);
        d->font.description.lfCharSet = DEFAULT_CHARSET;
        d->font.font = ::CreateFontIndirectW(&d->font.description);
        d->font.textHeight = FontTextHeight(d->font.font);
        g_defaults = d;
        GetAlphaBlend();
        INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES};
        ::InitCommonControlsEx(&icc);
    });
}

bool IsWithin(CControlUI* control, CControlUI* ancestor) {
    for (CControlUI* c = control; c; c = c->GetParent())
        if (c == ancestor) return true;
    return false;
}

CControlUI* CollectInto(CControlUI* control, void* data) {
    static_cast<std::vector<CControlUI*>*>(data)->push_back(control);
    return nullptr;
}

bool ReadFileBytes(const std::wstring& path, std::string& bytes) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    bool ok = ::GetFileSizeEx(file, &size) && size.QuadPart < (64LL << 20);
    if (ok) {
        bytes.resize(static_cast<std::size_t>(size.QuadPart));
        DWORD read = 0;
        ok = bytes.empty() || (::ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) &&
                               read == bytes.size());
    }
    ::CloseHandle(file);
    return ok;
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

HFONT CSkinManagerUI::AddFont(int id, const std::wstring& face, int size, bool bold, bool underline, bool italic,
                              bool shared) {
    SkinFont f = MakeFont(face, size, bold, underline, italic);
    if (!f.font) return nullptr;
    const std::wstring key = std::to_wstring(id);
    if (shared) {
        std::lock_guard<std::mutex> lock(g_sharedFontMutex);
        auto& fonts = SharedFonts();
        auto it = fonts.find(key);
        if (it != fonts.end()) ::DeleteObject(it->second.font);
        fonts[key] = f;
    } else {
        auto it = m_fonts.find(key);
        if (it != m_fonts.end()) ::DeleteObject(it->second.font);
        m_fonts[key] = f;
    }
    return f.font;
}

void CSkinManagerUI::SetDefaultFont(const std::wstring& face, int size, bool bold, bool underline, bool italic,
                                    bool shared) {
    SkinFont f = MakeFont(face, size, bold, underline, italic);
    if (!f.font) return;
    if (shared) {
        // Process-wide: replaces the first manager's default for windows created later on.
        std::lock_guard<std::mutex> lock(g_sharedFontMutex);
        g_defaults->font = f;   // the previous font may still be selected elsewhere: not deleted
        return;
    }
    if (m_defaultFont) ::DeleteObject(m_defaultFont->font);
    m_defaultFont = std::make_unique<SkinFont>(f);
}

HFONT CSkinManagerUI::LookupFont(int id) const {
    if (id >= 0) {
        const std::wstring key = std::to_wstring(id);
        auto it = m_fonts.find(key);
        if (it != m_fonts.end()) return it->second.font;
        std::lock_guard<std::mutex> lock(g_sharedFontMutex);
        auto& fonts = SharedFonts();
        auto sit = fonts.find(key);
        if (sit != fonts.end()) return sit->second.font;
    }
    if (m_defaultFont) return m_defaultFont->font;
    std::lock_guard<std::mutex> lock(g_sharedFontMutex);
    return g_defaults->font.font;
}

int CSkinManagerUI::LookupFontHeight(int id) const {
    if (id >= 0) {
        const std::wstring key = std::to_wstring(id);
        auto it = m_fonts.find(key);
        if (it != m_fonts.end()) return it->second.textHeight;
        std::lock_guard<std::mutex> lock(g_sharedFontMutex);
        auto& fonts = SharedFonts();
        auto sit = fonts.find(key);
        if (sit != fonts.end()) return sit->second.textHeight;
    }
    if (m_defaultFont) return m_defaultFont->textHeight;
    std::lock_guard<std::mutex> lock(g_sharedFontMutex);
    return g_defaults->font.textHeight;
}

const SkinImage* CSkinManagerUI::LoadSkinImage(const ImageDescriptor& d) {
    if (d.name.empty()) return nullptr;
    wchar_t maskText[16];
    ::wsprintfW(maskText, L"|%08X", static_cast<unsigned>(d.mask));
    const std::wstring key = (d.fromResource ? L"res:" + AsciiUppered(d.resourceType) + L":" : std::wstring(L"file:")) +
                             d.name + maskText;
    auto it = m_images.find(key);
    if (it != m_images.end()) return it->second.get();

    std::string bytes;
    bool read;
    if (d.fromResource) {
        read = ReadModuleResource(ResourceIdFromName(d.name), d.resourceType, bytes);
    } else {
        std::wstring path = d.name;
        bool absolute = path.size() > 1 && (path[1] == L':' || (path[0] == L'\\' && path[1] == L'\\'));
        if (!absolute) path = (m_resourceFolder.empty() ? GetResourcePath() : m_resourceFolder) + path;
        read = ReadFileBytes(path, bytes);
    }
    std::unique_ptr<SkinImage> image;
    std::string error = "not found";
    DecodedImage decoded;
    if (read && DecodeImage(bytes.data(), bytes.size(), d.mask, decoded, error)) {
        image = std::make_unique<SkinImage>();
        image->width = decoded.width;
        image->height = decoded.height;
        image->hasAlpha = decoded.hasAlpha;
        image->bitmap = CreateImageBitmap(decoded.width, decoded.height, decoded.pixels.data());
        if (!image->bitmap) {
            image.reset();
            error = "bitmap creation failed";
        }
    }
    if (!image)
        LOG_STREAM(rklog::kWarn) << "skin image " << EncodeUtf8(d.name) << " not loaded: " << error;
    const SkinImage* result = image.get();
    m_images[key] = std::move(image);   // failures are remembered too
    return result;
}

void CSkinManagerUI::AddDefaultAttributeList(const std::wstring& element, const std::wstring& attributes) {
    m_defaultAttributes[AsciiUppered(element)] = attributes;
}

const std::wstring* CSkinManagerUI::GetDefaultAttributeList(const std::wstring& element) const {
    auto it = m_defaultAttributes.find(AsciiUppered(element));
    return it == m_defaultAttributes.end() ? nullptr : &it->second;
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

bool CSkinManagerUI::TranslateAccelerator(MSG*) { return false; }

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

bool CSkinManagerUI::MessageHandler(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    result = 0;
    if (!m_hwnd) return false;
    if (message == AsyncNotifyMessage()) {
        FlushAsyncNotifications();
        return true;
    }
    switch (message) {
    case WM_CLOSE: {
        if (m_hot) {
            CControlUI* hot = m_hot;
            m_hot = nullptr;
            SendEvent(hot, kEventMouseLeave);
        }
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
    case WM_ERASEBKGND:
        if (!m_root) return false;
        result = 1;
        return true;
    case WM_PAINT: {
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
    case WM_PRINTCLIENT: {
        if (!m_root) return false;
        RECT client;
        ::GetClientRect(m_hwnd, &client);
        PaintTree(reinterpret_cast<HDC>(wParam), client);
        return true;
    }
    case WM_SIZE:
        if (m_focus) SendEvent(m_focus, kEventWindowSize);
        if (m_root) RequestLayout();
        return false;
    case WM_MOUSEMOVE: {
        if (!m_tracking) {
            DWORD hover = 400;
            if (m_tooltip) hover = static_cast<DWORD>(::SendMessageW(m_tooltip, TTM_GETDELAYTIME, TTDT_INITIAL, 0));
            TRACKMOUSEEVENT tme{sizeof(tme), TME_HOVER | TME_LEAVE, m_hwnd, hover};
            ::TrackMouseEvent(&tme);
            m_tracking = true;
        }
        m_lastMouse = POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        CControlUI* control = LookupControl(m_lastMouse);
        if (control != m_hot) {
            if (m_hot) {
                CControlUI* old = m_hot;
                m_hot = nullptr;
                HideTooltip();
                SendEvent(old, kEventMouseLeave);
            }
            m_hot = control;
            if (control) SendEvent(control, kEventMouseEnter);
        }
        if (m_click) SendEvent(m_click, kEventMouseMove, 0, lParam);
        else if (control) SendEvent(control, kEventMouseMove, 0, lParam);
        return false;
    }
    case WM_MOUSELEAVE:
        m_tracking = false;
        HideTooltip();
        if (m_hot && !m_click) {
            CControlUI* old = m_hot;
            m_hot = nullptr;
            SendEvent(old, kEventMouseLeave);
        }
        return false;
    case WM_MOUSEHOVER:
        m_tracking = false;   // hover tracking is one-shot: the next move arms it again
        ShowTooltip();
        return true;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
        ::SetFocus(m_hwnd);
        m_lastMouse = POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        CControlUI* control = LookupControl(m_lastMouse);
        if (!control) return false;
        m_click = control;
        control->TakeFocus();
        ::SetCapture(m_hwnd);
        if (m_click == control)
            SendEvent(control, message == WM_LBUTTONDOWN ? kEventButtonDown : kEventDoubleClick, 0, lParam);
        return false;
    }
    case WM_LBUTTONUP: {
        m_lastMouse = POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        ::ReleaseCapture();
        CControlUI* click = m_click;
        m_click = nullptr;   // cleared first: the click's handler may run a modal loop
        if (click) SendEvent(click, kEventButtonUp, 0, lParam);
        return false;
    }
    case WM_RBUTTONDOWN: {
        ::SetFocus(m_hwnd);
        m_lastMouse = POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        if (CControlUI* control = LookupControl(m_lastMouse)) SendEvent(control, kEventRightButtonDown, 0, lParam);
        return false;
    }
    case WM_CONTEXTMENU:
        if (m_hot) SendEvent(m_hot, kEventContextMenu, 0, lParam);
        return false;
    case WM_MOUSEWHEEL: {
        POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        ::ScreenToClient(m_hwnd, &pt);
        m_lastMouse = pt;
        if (CControlUI* control = LookupControl(pt)) SendEvent(control, kEventScrollWheel, wParam, lParam);
        return false;
    }
    case WM_SETCURSOR: {
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
    case WM_KEYDOWN:
        if (m_focus) SendEvent(m_focus, kEventKeyDown, wParam, lParam);
        return false;
    case WM_KEYUP:
        if (m_focus) SendEvent(m_focus, kEventKeyUp, wParam, lParam);
        return false;
    case WM_CHAR:
        if (m_focus) SendEvent(m_focus, kEventChar, wParam, lParam);
        return false;
    default:
        return false;
    }
}

}  // namespace SkinUI
