// The toolkit on real windows under the emulator's display: skins embedded as resources of
// this executable, pixels read back from the screen, synthetic mouse and keyboard input,
// modal loops, placement and hit testing.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "SkinUI/SkinUI.h"
#include "SkinUI/skin_layout.h"

using namespace SkinUI;

namespace {

const DWORD kFrameStyle = 0x10CF0000;   // WS_VISIBLE | WS_OVERLAPPEDWINDOW, as the program's windows

class TestWindow : public WindowImplBase {
public:
    explicit TestWindow(unsigned skin, HWND owner = nullptr, DWORD style = kFrameStyle, DWORD exStyle = WS_EX_WINDOWEDGE)
        : m_skin(skin) {
        CreateFrame(owner, L"SkinUI test", style, exStyle);
    }
    ~TestWindow() override {
        if (m_hwnd) ::DestroyWindow(m_hwnd);
    }
    void OnNotification(NotifyRecord& r) override {
        if (r.type == L"click") m_clicks.push_back(r.sender ? r.sender->GetName() : L"?");
        if (r.type == L"windowinit") {
            ++m_windowInits;
            m_initSender = r.sender;
        }
    }
    void MoveTo(int x, int y) { ::SetWindowPos(m_hwnd, HWND_TOPMOST, x, y, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW); }
    CSkinManagerUI& Manager() { return m_manager; }

    std::vector<std::wstring> m_clicks;
    int m_windowInits = 0;
    int m_skinBuilt = 0;
    CControlUI* m_initSender = nullptr;

protected:
    std::wstring WindowClassName() const override { return L"skinui_test_window"; }
    std::wstring SkinFolderPath() const override { return L""; }
    std::wstring SkinSource() const override { return std::to_wstring(m_skin); }
    UINT SkinSourceKind() const override { return 3; }
    void OnSkinBuilt() override { ++m_skinBuilt; }

private:
    unsigned m_skin;
};

void Pump(DWORD ms) {
    DWORD start = ::GetTickCount();
    MSG msg;
    do {
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                ::PostQuitMessage(static_cast<int>(msg.wParam));
                return;
            }
            if (!CWindowWnd::PreTranslate(&msg)) {
                ::TranslateMessage(&msg);
                ::DispatchMessageW(&msg);
            }
        }
        ::Sleep(5);
    } while (::GetTickCount() - start < ms);
}

bool PumpUntil(const std::function<bool()>& done, DWORD ms = 3000) {
    DWORD start = ::GetTickCount();
    while (!done()) {
        if (::GetTickCount() - start > ms) return false;
        Pump(10);
    }
    return true;
}

// The window's client area as it is on the screen: 0x00RRGGBB per pixel.
struct Shot {
    int width = 0, height = 0;
    std::vector<DWORD> pixels;
    DWORD At(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x] & 0xFFFFFF; }
};

Shot Capture(HWND hwnd) {
    ::RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    Pump(50);
    RECT rc;
    ::GetClientRect(hwnd, &rc);
    Shot s;
    s.width = rc.right;
    s.height = rc.bottom;
    s.pixels.resize(static_cast<std::size_t>(s.width) * s.height);
    HDC screen = ::GetDC(hwnd);
    HDC mem = ::CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = s.width;
    bi.bmiHeader.biHeight = -s.height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bmp = ::CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(mem, bmp);
    ::BitBlt(mem, 0, 0, s.width, s.height, screen, 0, 0, SRCCOPY);
    ::GdiFlush();
    std::memcpy(s.pixels.data(), bits, s.pixels.size() * 4);
    // Optionally kept as a picture (the documentation's screenshot).
    if (const char* path = std::getenv("ZPV_SKINUI_SHOT")) {
        BITMAPFILEHEADER fh{};
        fh.bfType = 0x4D42;
        fh.bfOffBits = sizeof(fh) + sizeof(BITMAPINFOHEADER);
        fh.bfSize = fh.bfOffBits + static_cast<DWORD>(s.pixels.size() * 4);
        if (FILE* f = std::fopen(path, "wb")) {
            std::fwrite(&fh, sizeof fh, 1, f);
            std::fwrite(&bi.bmiHeader, sizeof(BITMAPINFOHEADER), 1, f);
            std::fwrite(bits, 4, s.pixels.size(), f);
            std::fclose(f);
        }
    }
    ::SelectObject(mem, old);
    ::DeleteObject(bmp);
    ::DeleteDC(mem);
    ::ReleaseDC(hwnd, screen);
    return s;
}

DWORD Rgb(int r, int g, int b) { return static_cast<DWORD>((r << 16) | (g << 8) | b); }

bool Near(DWORD a, DWORD b, int tolerance = 3) {
    for (int shift = 0; shift < 24; shift += 8) {
        int d = static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF);
        if (d > tolerance || d < -tolerance) return false;
    }
    return true;
}

std::string Hex(DWORD v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%06lX", static_cast<unsigned long>(v));
    return buf;
}

void MouseTo(HWND hwnd, int x, int y) {
    POINT pt{x, y};
    ::ClientToScreen(hwnd, &pt);
    INPUT in{};
    in.type = INPUT_MOUSE;
    in.mi.dx = static_cast<LONG>((pt.x * 65536 + ::GetSystemMetrics(SM_CXSCREEN) - 1) / ::GetSystemMetrics(SM_CXSCREEN));
    in.mi.dy = static_cast<LONG>((pt.y * 65536 + ::GetSystemMetrics(SM_CYSCREEN) - 1) / ::GetSystemMetrics(SM_CYSCREEN));
    in.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    ::SendInput(1, &in, sizeof(INPUT));
    Pump(60);
}

void MouseButton(bool down) {
    INPUT in{};
    in.type = INPUT_MOUSE;
    in.mi.dwFlags = down ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP;
    ::SendInput(1, &in, sizeof(INPUT));
    Pump(60);
}

// Callbacks of the platform (stdcall on 32-bit builds, so no lambdas).
HWND g_timerTarget = nullptr;
bool g_ownerDisabled = false;

BOOL CALLBACK FindVisibleTooltip(HWND h, LPARAM p) {
    wchar_t cls[64];
    ::GetClassNameW(h, cls, 64);
    if (std::wstring(cls) == TOOLTIPS_CLASSW && ::IsWindowVisible(h)) *reinterpret_cast<HWND*>(p) = h;
    return TRUE;
}

BOOL CALLBACK FindFailureText(HWND h, LPARAM p) {
    wchar_t buf[128] = {};
    ::GetWindowTextW(h, buf, 128);
    if (std::wstring(buf).find(L"\u52A0\u8F7D") != std::wstring::npos) *reinterpret_cast<std::wstring*>(p) = buf;
    return TRUE;
}

void CALLBACK DestroyTargetTimer(HWND, UINT, UINT_PTR, DWORD) {
    g_ownerDisabled = !::IsWindowEnabled(::GetWindow(g_timerTarget, GW_OWNER));
    ::DestroyWindow(g_timerTarget);
}

void CALLBACK AltF4Timer(HWND, UINT, UINT_PTR id, DWORD) {
    ::KillTimer(nullptr, id);
    ::SetForegroundWindow(g_timerTarget);
    ::SetFocus(g_timerTarget);
    INPUT keys[4] = {};
    WORD vk[4] = {VK_MENU, VK_F4, VK_F4, VK_MENU};
    for (int i = 0; i < 4; ++i) {
        keys[i].type = INPUT_KEYBOARD;
        keys[i].ki.wVk = vk[i];
        keys[i].ki.dwFlags = i >= 2 ? KEYEVENTF_KEYUP : 0;
    }
    ::SendInput(4, keys, sizeof(INPUT));
}

void CALLBACK GuardTimer(HWND, UINT, UINT_PTR, DWORD) { ::PostMessageW(g_timerTarget, WM_CLOSE, 9, 0); }

RECT PosOf(TestWindow& w, const wchar_t* name) {
    CControlUI* c = w.Manager().LookupControl(name);
    return c ? c->GetPos() : RECT{};
}

class SkinWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetModuleInstance(::GetModuleHandleW(nullptr));
        m_window = std::make_unique<TestWindow>(901);
        ASSERT_NE(m_window->GetHWND(), nullptr);
        m_window->MoveTo(100, 100);
        m_window->ShowFrame(true, true);
        ::SetForegroundWindow(*m_window);
        ASSERT_TRUE(PumpUntil([&] { return m_window->m_windowInits > 0; }));
    }
    void TearDown() override {
        MouseTo(*m_window, -50, -50);
        m_window.reset();
        Pump(20);
    }
    std::unique_ptr<TestWindow> m_window;
};

}  // namespace

TEST_F(SkinWindowTest, BuildsTheSkinAndSizesTheWindow) {
    EXPECT_EQ(m_window->m_skinBuilt, 1);
    EXPECT_EQ(m_window->m_windowInits, 1);
    EXPECT_EQ(m_window->m_initSender, m_window->Manager().GetRoot());
    RECT rc;
    ::GetClientRect(*m_window, &rc);
    EXPECT_EQ(rc.right, 300);
    EXPECT_EQ(rc.bottom, 130);
    EXPECT_EQ(::GetWindowLongW(*m_window, GWL_STYLE) & WS_CAPTION, 0);   // the skin draws the title bar
    EXPECT_NE(::GetWindowLongW(*m_window, GWL_STYLE) & WS_CLIPCHILDREN, 0);
    HRGN region = ::CreateRectRgn(0, 0, 0, 0);
    EXPECT_EQ(::GetWindowRgn(*m_window, region), ERROR);   // no roundcorner: no window region
    ::DeleteObject(region);

    // Unknown elements are skipped with their children; hidden controls take no space.
    EXPECT_EQ(m_window->LookupControl(L"unknownSlider"), nullptr);
    EXPECT_EQ(m_window->LookupControl(L"insideUnknown"), nullptr);
    EXPECT_EQ(m_window->LookupControl(L"nothing"), nullptr);
    ASSERT_NE(m_window->LookupControl(L"hiddenLabel"), nullptr);
    EXPECT_FALSE(m_window->LookupControl(L"hiddenLabel")->IsVisible());
    EXPECT_EQ(PosOf(*m_window, L"afterHidden").left, 230);
    EXPECT_EQ(PosOf(*m_window, L"closeButton").right, 294);   // title row fills the whole width

    auto* button = static_cast<CButtonUI*>(m_window->LookupControl(L"bigButton")->GetInterface(L"Button"));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(m_window->LookupControl(L"tipsLabel")->GetInterface(L"Button"), nullptr);
    EXPECT_EQ(m_window->LookupControl(L"tipsLabel")->ClassName(), L"LabelUI");
    // A Font without id adds no font: font="2" is the default font.
    EXPECT_EQ(m_window->Manager().LookupFont(2), m_window->Manager().LookupFont(-1));
}

TEST_F(SkinWindowTest, PaintsFillsImagesAndTheProgressBar) {
    Shot s = Capture(*m_window);
    ASSERT_EQ(s.width, 300);
    EXPECT_EQ(s.At(250, 5), Rgb(255, 154, 0)) << Hex(s.At(250, 5));      // title bar colour
    EXPECT_EQ(s.At(150, 120), Rgb(248, 248, 248)) << Hex(s.At(150, 120)); // body; alpha-0 fill draws nothing
    EXPECT_EQ(s.At(240, 90), Rgb(0, 0, 255));                             // opaque fill where it belongs
    EXPECT_EQ(s.At(229, 90), Rgb(248, 248, 248));                         // ...and not beside it
    EXPECT_TRUE(Near(s.At(170, 90), Rgb(124, 124, 124))) << Hex(s.At(170, 90));   // 50% black blended
    EXPECT_TRUE(Near(s.At(205, 80), Rgb(124, 124, 252), 4)) << Hex(s.At(205, 80)); // premultiplied image
    EXPECT_EQ(s.At(200, 75), Rgb(248, 248, 248)) << Hex(s.At(200, 75));            // its transparent corner
    EXPECT_EQ(s.At(40, 90), Rgb(200, 0, 0));                              // normal button image

    // Progress bar at x 10..290, y 63..66: 37 of 0..100 fills 103 pixels.
    EXPECT_EQ(s.At(10, 64), Rgb(255, 153, 0));
    EXPECT_EQ(s.At(112, 64), Rgb(255, 153, 0));
    EXPECT_EQ(s.At(113, 64), Rgb(225, 225, 225));
    EXPECT_EQ(s.At(289, 64), Rgb(225, 225, 225));
    EXPECT_EQ(s.At(150, 66), Rgb(248, 248, 248));

    auto* bar = static_cast<CProgressUI*>(m_window->LookupControl(L"bar"));
    bar->SetProgressValue(0);
    s = Capture(*m_window);
    EXPECT_EQ(s.At(10, 64), Rgb(225, 225, 225));   // only the track
    EXPECT_EQ(s.At(200, 64), Rgb(225, 225, 225));
    bar->SetProgressValue(500);
    s = Capture(*m_window);
    EXPECT_EQ(s.At(289, 64), Rgb(255, 153, 0));    // beyond max: full

    // Hiding a control gives its space away on the next paint.
    m_window->LookupControl(L"semi")->SetShown(false);
    s = Capture(*m_window);
    EXPECT_EQ(s.At(175, 90), Rgb(248, 248, 248)) << Hex(s.At(175, 90));
    EXPECT_EQ(s.At(185, 90), Rgb(0, 0, 255)) << Hex(s.At(185, 90));
    EXPECT_EQ(PosOf(*m_window, L"alphaImage").left, 150);
}

TEST_F(SkinWindowTest, ChineseTextRendersAsGlyphs) {
    // Two different characters drawn with the default GUI font must differ: missing glyphs
    // would all be the same box.
    HFONT font = m_window->Manager().LookupFont(-1);
    auto ink = [font](const wchar_t* text) {
        HDC dc = ::CreateCompatibleDC(nullptr);
        BITMAPINFO bi{};
        bi.bmiHeader = {sizeof(BITMAPINFOHEADER), 24, -24, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        void* bits = nullptr;
        HBITMAP bmp = ::CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        HGDIOBJ oldBmp = ::SelectObject(dc, bmp);
        HGDIOBJ oldFont = ::SelectObject(dc, font);
        RECT rc{0, 0, 24, 24};
        ::FillRect(dc, &rc, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
        ::SetBkMode(dc, TRANSPARENT);
        ::DrawTextW(dc, text, -1, &rc, DT_SINGLELINE | DT_NOPREFIX);
        ::GdiFlush();
        std::vector<DWORD> px(static_cast<DWORD*>(bits), static_cast<DWORD*>(bits) + 24 * 24);
        ::SelectObject(dc, oldFont);
        ::SelectObject(dc, oldBmp);
        ::DeleteObject(bmp);
        ::DeleteDC(dc);
        return px;
    };
    auto a = ink(L"\u5347"), b = ink(L"\u7EA7"), c = ink(L"\u5173");
    auto dark = [](const std::vector<DWORD>& p) {
        int n = 0;
        for (DWORD v : p) n += (v & 0xFF) < 128;
        return n;
    };
    EXPECT_GT(dark(a), 10);
    EXPECT_TRUE(a != b) << "CJK characters render as identical boxes";
    EXPECT_TRUE(b != c) << "CJK characters render as identical boxes";

    // And on the window: the tips label has dark text pixels.
    Shot s = Capture(*m_window);
    int darkPixels = 0;
    for (int y = 32; y < 58; ++y)
        for (int x = 10; x < 60; ++x) darkPixels += (s.At(x, y) & 0xFF) < 0xC0;
    EXPECT_GT(darkPixels, 20);
}

TEST_F(SkinWindowTest, MouseDrivesButtonStatesAndClicks) {
    RECT big = PosOf(*m_window, L"bigButton");   // 10..70 x 75..105
    MouseTo(*m_window, 40, 90);
    Shot s = Capture(*m_window);
    EXPECT_EQ(s.At(40, 90), Rgb(0, 200, 0)) << "hot image " << Hex(s.At(40, 90));
    MouseButton(true);
    s = Capture(*m_window);
    EXPECT_EQ(s.At(40, 90), Rgb(0, 0, 200)) << "pushed image " << Hex(s.At(40, 90));
    EXPECT_NE(static_cast<CButtonUI*>(m_window->LookupControl(L"bigButton"))->GetState() & kStateCaptured, 0u);

    // Off the button and released: no click.
    MouseTo(*m_window, big.right + 100, 90);
    s = Capture(*m_window);
    EXPECT_EQ(s.At(40, 90), Rgb(200, 0, 0)) << Hex(s.At(40, 90));
    MouseButton(false);
    EXPECT_TRUE(m_window->m_clicks.empty());

    // Press, move off, come back before the release: one click.
    MouseTo(*m_window, 40, 90);
    MouseButton(true);
    MouseTo(*m_window, big.right + 100, 90);
    MouseTo(*m_window, 45, 95);
    MouseButton(false);
    ASSERT_EQ(m_window->m_clicks.size(), 1u);
    EXPECT_EQ(m_window->m_clicks[0], L"bigButton");

    // A state image that cannot be loaded falls back to the normal image.
    MouseTo(*m_window, 110, 90);
    s = Capture(*m_window);
    EXPECT_EQ(s.At(110, 90), Rgb(200, 0, 0)) << Hex(s.At(110, 90));
    MouseButton(true);
    s = Capture(*m_window);
    EXPECT_EQ(s.At(110, 90), Rgb(200, 0, 0)) << Hex(s.At(110, 90));
    MouseButton(false);
    ASSERT_EQ(m_window->m_clicks.size(), 2u);
    EXPECT_EQ(m_window->m_clicks[1], L"fallbackButton");

    // A hidden button neither clicks nor is found under the pointer.
    m_window->LookupControl(L"bigButton")->SetShown(false);
    Pump(30);
    EXPECT_FALSE(m_window->LookupControl(L"bigButton")->Trigger());
}

TEST_F(SkinWindowTest, TooltipShowsAfterHover) {
    RECT close = PosOf(*m_window, L"closeButton");
    MouseTo(*m_window, (close.left + close.right) / 2, (close.top + close.bottom) / 2);
    HWND tip = nullptr;
    bool shown = PumpUntil([&] {
        tip = nullptr;
        ::EnumThreadWindows(::GetCurrentThreadId(), FindVisibleTooltip, reinterpret_cast<LPARAM>(&tip));
        return tip != nullptr;
    }, 3000);
    ASSERT_TRUE(shown);
    MouseTo(*m_window, 150, 120);
    EXPECT_TRUE(PumpUntil([&] { return !::IsWindowVisible(tip); }, 2000));
}

TEST_F(SkinWindowTest, CaptionDragsExceptOverButtons) {
    auto hit = [&](int x, int y) {
        POINT pt{x, y};
        ::ClientToScreen(*m_window, &pt);
        return ::SendMessageW(*m_window, WM_NCHITTEST, 0, MAKELPARAM(pt.x, pt.y));
    };
    RECT close = PosOf(*m_window, L"closeButton");
    EXPECT_EQ(hit(50, 5), HTCAPTION);
    EXPECT_EQ(hit(250, 19), HTCAPTION);
    EXPECT_EQ(hit(close.left + 3, close.top + 3), HTCLIENT);   // over the close button
    EXPECT_EQ(hit(50, 20), HTCLIENT);                          // below the 20-pixel band
    EXPECT_EQ(hit(40, 90), HTCLIENT);

    // A real drag with the pointer moves the window. The system's move loop runs inside the
    // button-down, so the whole gesture is queued at once; a watchdog ends a stuck loop.
    RECT before, after;
    ::GetWindowRect(*m_window, &before);
    MouseTo(*m_window, 60, 10);
    std::vector<INPUT> gesture;
    auto add = [&gesture](DWORD flags, int x, int y) {
        INPUT in{};
        in.type = INPUT_MOUSE;
        in.mi.dwFlags = flags;
        in.mi.dx = x * 65536 / ::GetSystemMetrics(SM_CXSCREEN);
        in.mi.dy = y * 65536 / ::GetSystemMetrics(SM_CYSCREEN);
        gesture.push_back(in);
    };
    add(MOUSEEVENTF_LEFTDOWN, 0, 0);
    for (int i = 1; i <= 5; ++i) add(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, before.left + 60 + 8 * i, before.top + 10 + 6 * i);
    add(MOUSEEVENTF_LEFTUP, 0, 0);
    ::SendInput(static_cast<UINT>(gesture.size()), gesture.data(), sizeof(INPUT));
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 100 && !finished; ++i) ::Sleep(50);
        if (finished) return;
        INPUT esc[2] = {};
        esc[0].type = esc[1].type = INPUT_KEYBOARD;
        esc[0].ki.wVk = esc[1].ki.wVk = VK_ESCAPE;
        esc[1].ki.dwFlags = KEYEVENTF_KEYUP;
        ::SendInput(2, esc, sizeof(INPUT));
    });
    Pump(300);
    finished = true;
    watchdog.join();
    ::GetWindowRect(*m_window, &after);
    EXPECT_NEAR(after.left - before.left, 40, 1);   // absolute input coordinates round
    EXPECT_NEAR(after.top - before.top, 30, 1);
}

TEST_F(SkinWindowTest, EscapeClosesThroughTheDefaultKey) {
    m_window->Manager().RemoveMessageFilter(m_window.get());   // keys reach the focused button instead
    m_window->LookupControl(L"bigButton")->TakeFocus();
    MSG msg{*m_window, WM_KEYDOWN, VK_SPACE, 0, 0, {}};
    ::DispatchMessageW(&msg);
    ASSERT_EQ(m_window->m_clicks.size(), 1u);

    m_window->Manager().AddMessageFilter(m_window.get());
    MSG esc{*m_window, WM_KEYDOWN, VK_ESCAPE, 0, 0, {}};
    EXPECT_FALSE(CWindowWnd::PreTranslate(&esc));   // filter acts but does not consume
    EXPECT_TRUE(PumpUntil([&] { return !::IsWindow(*m_window); }));
    EXPECT_EQ(m_window->GetHWND(), nullptr);
}

TEST_F(SkinWindowTest, NotificationsAndDefaultTextColour) {
    CControlUI* big = m_window->LookupControl(L"bigButton");
    std::vector<std::wstring> order;
    big->AddNotifyDelegate([&](NotifyRecord& r) { order.push_back(L"delegate:" + r.type); });
    m_window->Manager().DispatchNotification(big, L"later", 0, 0, true);
    EXPECT_TRUE(order.empty());   // queued, not delivered yet
    m_window->Manager().DispatchNotification(big, L"click");
    ASSERT_EQ(order.size(), 1u);
    EXPECT_EQ(m_window->m_clicks.size(), 1u);   // after the sender's delegate, the window
    Pump(50);
    ASSERT_EQ(order.size(), 2u);
    EXPECT_EQ(order[1], L"delegate:later");

    // Tab walks the buttons in tree order.
    MSG tab{*m_window, WM_KEYDOWN, VK_TAB, 0, 0, {}};
    EXPECT_TRUE(CWindowWnd::PreTranslate(&tab));
    EXPECT_EQ(m_window->Manager().GetFocusControl(), m_window->LookupControl(L"closeButton"));
    EXPECT_TRUE(CWindowWnd::PreTranslate(&tab));
    EXPECT_EQ(m_window->Manager().GetFocusControl(), big);

    // A text colour of 0 paints in the default text colour, black.
    auto* tips = static_cast<CLabelUI*>(m_window->LookupControl(L"tipsLabel"));
    tips->SetLabelTextColour(0);
    Shot s = Capture(*m_window);
    int black = 0;
    for (int y = 32; y < 58; ++y)
        for (int x = 10; x < 120; ++x) black += Near(s.At(x, y), 0, 0x2F);   // #333333 text never gets here
    EXPECT_GT(black, 2);
    EXPECT_EQ(tips->GetLabelTextColour(), 0xFF000000u);
}

namespace {
// A window whose skin is markup text (skin source kind 1 accepts markup as well as file names).
class MarkupWindow : public WindowImplBase {
public:
    explicit MarkupWindow(std::wstring markup) : m_markup(std::move(markup)) { CreateFrame(nullptr, L"m", kFrameStyle, 0); }
    ~MarkupWindow() override { if (m_hwnd) ::DestroyWindow(m_hwnd); }
protected:
    std::wstring WindowClassName() const override { return L"skinui_markup_window"; }
    std::wstring SkinFolderPath() const override { return L""; }
    std::wstring SkinSource() const override { return m_markup; }
private:
    std::wstring m_markup;
};
}  // namespace

TEST(SkinWindowShape, RoundCornersSetARegion) {
    MarkupWindow w(L"<Window size=\"120,60\" roundcorner=\"12,12\"><VerticalLayout bkcolor=\"#FF00FF00\"/></Window>");
    ASSERT_NE(w.GetHWND(), nullptr);
    ::SetWindowPos(w, nullptr, 0, 0, 130, 70, SWP_NOMOVE | SWP_NOZORDER);   // WM_SIZE applies the corners
    HRGN region = ::CreateRectRgn(0, 0, 0, 0);
    EXPECT_NE(::GetWindowRgn(w, region), ERROR);
    EXPECT_FALSE(::PtInRegion(region, 0, 0));     // the corner is cut off
    EXPECT_TRUE(::PtInRegion(region, 65, 35));
    ::DeleteObject(region);
}

TEST(SkinFonts, FontsWithIdsAndTheDefault) {
    SetModuleInstance(::GetModuleHandleW(nullptr));
    CSkinManagerUI manager;
    CSkinBuilder builder;
    CControlUI* root = builder.Build(
        L"<Window><Font id=\"1\" name=\"Tahoma\" size=\"30\" bold=\"true\"/>"
        L"<Font id=\"2\" name=\"Tahoma\" size=\"9\" shared=\"true\"/><Font name=\"Tahoma\" size=\"40\"/>"
        L"<VerticalLayout><Label name=\"l\" font=\"1\"/></VerticalLayout></Window>",
        nullptr, &manager);
    ASSERT_NE(root, nullptr);
    manager.AttachTree(root);
    EXPECT_NE(manager.LookupFont(1), manager.LookupFont(-1));
    EXPECT_NE(manager.LookupFont(2), manager.LookupFont(-1));   // from the shared table
    EXPECT_EQ(manager.LookupFont(3), manager.LookupFont(-1));
    EXPECT_GT(manager.LookupFontHeight(1), manager.LookupFontHeight(-1));
    LOGFONTW lf{};
    ::GetObjectW(manager.LookupFont(1), sizeof lf, &lf);
    EXPECT_EQ(lf.lfHeight, -30);
    EXPECT_GE(lf.lfWeight, FW_BOLD);
    EXPECT_EQ(lf.lfCharSet, DEFAULT_CHARSET);
    // A label without a fixed height measures to its font's text height + 4.
    SIZE sz = manager.LookupControl(L"l")->Measure(SIZE{100, 100});
    EXPECT_EQ(sz.cy, manager.LookupFontHeight(1) + 4);
}

TEST(SkinModal, ResultsOfTheModalLoop) {
    SetModuleInstance(::GetModuleHandleW(nullptr));
    TestWindow owner(901);
    owner.MoveTo(50, 50);
    {
        TestWindow box(903, owner);
        box.CloseWithCode(2);
        EXPECT_EQ(box.RunModal(), 2u);
        EXPECT_FALSE(::IsWindow(box.GetHWND()));
        EXPECT_TRUE(::IsWindowEnabled(owner));
        box.CloseWithCode(3);   // gone: nothing happens
    }
    {
        TestWindow box(903, owner);
        g_timerTarget = box;
        g_ownerDisabled = false;
        UINT_PTR timer = ::SetTimer(nullptr, 0, 50, DestroyTargetTimer);
        EXPECT_EQ(box.RunModal(), 0u);   // destroyed without WM_CLOSE
        ::KillTimer(nullptr, timer);
        EXPECT_TRUE(g_ownerDisabled);
        EXPECT_TRUE(::IsWindowEnabled(owner));
    }
    {
        // System menu close: a sent WM_CLOSE that the modal loop never sees.
        TestWindow box(903, owner);
        box.CloseWithCode(2);
        ::PostMessageW(box, WM_SYSCOMMAND, SC_CLOSE, 0);
        // The posted close code is taken only if that WM_CLOSE is retrieved, which it is first.
        EXPECT_EQ(box.RunModal(), 2u);
        TestWindow box2(903, owner);
        ::PostMessageW(box2, WM_SYSCOMMAND, SC_CLOSE, 0);
        EXPECT_EQ(box2.RunModal(), 0u);
    }
    {
        // Alt+F4 from the keyboard.
        TestWindow box(903, owner);
        g_timerTarget = box;
        UINT_PTR timer = ::SetTimer(nullptr, 0, 100, AltF4Timer);
        UINT_PTR guard = ::SetTimer(nullptr, 0, 5000, GuardTimer);
        EXPECT_EQ(box.RunModal(), 0u);
        ::KillTimer(nullptr, timer);
        ::KillTimer(nullptr, guard);
    }
}

TEST(SkinModal, QuitEndsTheModalAndTheOuterLoop) {
    SetModuleInstance(::GetModuleHandleW(nullptr));
    TestWindow box(903);
    ::PostQuitMessage(7);
    EXPECT_EQ(box.RunModal(), 0u);
    EXPECT_TRUE(::IsWindow(box));   // the box itself is left as it was
    MSG msg;
    ASSERT_TRUE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));   // posted again
    EXPECT_EQ(msg.wParam, 7u);

    ::PostQuitMessage(0);
    DWORD start = ::GetTickCount();
    CWindowWnd::RunMessageLoop();
    EXPECT_LT(::GetTickCount() - start, 2000u);
}

TEST(SkinModal, BoxOnASecondThreadWhileTheFirstLoops) {
    SetModuleInstance(::GetModuleHandleW(nullptr));
    TestWindow main(901);
    main.MoveTo(400, 100);
    std::atomic<HWND> boxWindow{nullptr};
    std::atomic<UINT> result{99};
    std::thread worker([&] {
        TestWindow box(903);
        boxWindow = box.GetHWND();
        result = box.RunModal();
    });
    ASSERT_TRUE(PumpUntil([&] { return boxWindow.load() != nullptr; }));
    // Both loops pre-translate at the same time; keys go to each thread's own windows.
    for (int i = 0; i < 50; ++i) {
        ::PostMessageW(boxWindow, WM_KEYDOWN, VK_TAB, 0);
        ::PostMessageW(main, WM_KEYDOWN, VK_TAB, 0);
        Pump(2);
    }
    ::PostMessageW(boxWindow, WM_CLOSE, 2, 0);
    worker.join();
    EXPECT_EQ(result.load(), 2u);
    EXPECT_TRUE(::IsWindow(main));
}

TEST(SkinPlacement, CentreOnOwner) {
    SetModuleInstance(::GetModuleHandleW(nullptr));
    TestWindow owner(901);
    owner.MoveTo(100, 200);
    TestWindow box(903, owner);
    MONITORINFO mi{sizeof(mi)};
    ::GetMonitorInfoW(::MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST), &mi);
    RECT o, b;

    box.CentreOnOwner();
    ::GetWindowRect(owner, &o);
    ::GetWindowRect(box, &b);
    EXPECT_EQ(b.left, (o.left + o.right) / 2 - 100);
    EXPECT_EQ(b.top, (o.top + o.bottom) / 2 - 40);

    ::ShowWindow(owner, SW_MINIMIZE);
    Pump(50);
    ASSERT_TRUE(::IsIconic(owner));
    box.CentreOnOwner();
    ::GetWindowRect(box, &b);
    EXPECT_EQ(b.left, (mi.rcWork.left + mi.rcWork.right) / 2 - 100);
    EXPECT_EQ(b.top, (mi.rcWork.top + mi.rcWork.bottom) / 2 - 40);

    const int wide = mi.rcWork.right - mi.rcWork.left + 200;
    ::SetWindowPos(box, nullptr, 0, 0, wide, 80, SWP_NOMOVE | SWP_NOZORDER);
    box.CentreOnOwner();
    ::GetWindowRect(box, &b);
    EXPECT_EQ(b.left, mi.rcWork.left);
}

TEST(SkinPlacement, IconAndShowFrame) {
    SetModuleInstance(::GetModuleHandleW(nullptr));
    TestWindow w(903);
    w.SetWindowIcon(1);
    EXPECT_NE(::SendMessageW(w, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_NE(::SendMessageW(w, WM_GETICON, ICON_SMALL, 0), 0);
    w.ShowFrame(false);
    EXPECT_FALSE(::IsWindowVisible(w));
    w.ShowFrame(true, false);
    EXPECT_TRUE(::IsWindowVisible(w));
}

TEST(SkinSettings, PathsAndResources) {
    SetModuleInstance(::GetModuleHandleW(nullptr));
    std::wstring path = GetInstancePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.back(), L'\\');
    SetResourcePath(L"C:\\skins");
    EXPECT_EQ(GetResourcePath(), L"C:\\skins\\");
    SetResourcePath(L"");
    std::string bytes;
    EXPECT_TRUE(ReadModuleResource(901, L"xml", bytes));
    EXPECT_TRUE(ReadModuleResource(901, L"Xml", bytes));
    EXPECT_TRUE(ReadModuleResource(506, L"png", bytes));
    EXPECT_FALSE(ReadModuleResource(4242, L"xml", bytes));

    CSkinBuilder builder;
    EXPECT_EQ(builder.Build(902, L"xml", nullptr, nullptr), nullptr);
    EXPECT_EQ(builder.LastError(), L"Unmatched closing tag");
    CControlUI* tree = builder.Build(L"<HorizontalLayout><Label name=\"a\"/><Bogus/></HorizontalLayout>", nullptr, nullptr);
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(static_cast<CContainerUI*>(tree)->GetCount(), 1);
    delete tree;
}

// Run as a child process only: a window whose skin cannot be built ends the process.
TEST(SkinLoadFailure, ChildBody) {
    if (!std::getenv("ZPV_SKINUI_FAIL_CHILD")) GTEST_SKIP() << "runs as the child of SkinLoadFailure.ShowsBoxAndExits";
    TestWindow broken(902);
    ADD_FAILURE() << "process went on after a broken skin";
}

TEST(SkinLoadFailure, ShowsBoxAndExits) {
    wchar_t exe[MAX_PATH];
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring cmd = L"\"" + std::wstring(exe) + L"\" --gtest_filter=SkinLoadFailure.ChildBody";
    ::SetEnvironmentVariableW(L"ZPV_SKINUI_FAIL_CHILD", L"1");
    STARTUPINFOW si{sizeof(si)};
    PROCESS_INFORMATION pi{};
    BOOL started = ::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    ::SetEnvironmentVariableW(L"ZPV_SKINUI_FAIL_CHILD", nullptr);
    ASSERT_TRUE(started);
    HWND box = nullptr;
    for (int i = 0; i < 300 && !box; ++i) {
        box = ::FindWindowW(L"#32770", L"SkinUI");
        if (!box) ::Sleep(50);
    }
    ASSERT_NE(box, nullptr) << "no message box";
    std::wstring text;
    ::EnumChildWindows(box, FindFailureText, reinterpret_cast<LPARAM>(&text));
    EXPECT_EQ(text, L"加载资源文件失败");
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_EQ(::WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    ::GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 1u);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
}

// The UI thread answers its windows within a second throughout work on a helper thread and a
// pause, and a quit request taken from the queue meanwhile still reaches the caller's loop.
TEST(Waits, TheUiThreadKeepsAnsweringAndKeepsTheQuitRequest) {
    const HWND w = ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(w, nullptr);
    const DWORD ui = ::GetCurrentThreadId();
    std::atomic<bool> probing{true};
    std::atomic<int> answered{0}, missed{0};
    std::thread prober([&] {
        while (probing.load()) {
            DWORD_PTR result = 0;
            ++(::SendMessageTimeoutW(w, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &result) ? answered : missed);
            ::Sleep(50);
        }
    });
    SkinUI::RunWhileAnswering([&] {
        ::PostThreadMessageW(ui, WM_QUIT, 7, 0);
        ::Sleep(1500);
    });
    SkinUI::PauseAnswering(500);
    probing = false;
    prober.join();
    EXPECT_EQ(missed.load(), 0);
    EXPECT_GE(answered.load(), 10);
    MSG msg;
    ASSERT_TRUE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 7u);
    ::DestroyWindow(w);
}
