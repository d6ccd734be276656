// The toolkit's drawing on Windows: GDI, and AlphaBlend loaded at run time.
#include "SkinUI/skin_render.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

namespace SkinUI {

AlphaBlendFn GetAlphaBlend() {
    static std::once_flag once;
    static AlphaBlendFn fn = nullptr;
    std::call_once(once, [] {
        // By full path: a bare name is searched for in the program's folder first, where
        // anyone who can write there could plant a library of that name.
        wchar_t system[MAX_PATH];
        const UINT n = ::GetSystemDirectoryW(system, MAX_PATH);
        if (n == 0 || n >= MAX_PATH) return;
        HMODULE msimg = ::LoadLibraryW((std::wstring(system, n) + L"\\msimg32.dll").c_str());
        if (msimg) fn = reinterpret_cast<AlphaBlendFn>(reinterpret_cast<void*>(::GetProcAddress(msimg, "AlphaBlend")));
    });
    return fn;
}

HBITMAP CreateImageBitmap(int width, int height, const void* pixels) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;   // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bmp = ::CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bmp && bits && pixels) std::memcpy(bits, pixels, static_cast<std::size_t>(width) * height * 4);
    return bmp;
}

void FillArgb(HDC dc, const RECT& rc, DWORD argb) {
    if (argb <= 0x00FFFFFF || ::IsRectEmpty(&rc)) return;
    DWORD alpha = argb >> 24;
    if (alpha == 0xFF) {
        ::SetBkColor(dc, ToColorRef(argb));
        ::ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &rc, nullptr, 0, nullptr);
        return;
    }
    AlphaBlendFn blend = GetAlphaBlend();
    if (!blend) return;
    DWORD r = (argb >> 16 & 0xFF) * alpha / 255, g = (argb >> 8 & 0xFF) * alpha / 255, b = (argb & 0xFF) * alpha / 255;
    DWORD pixel = (alpha << 24) | (r << 16) | (g << 8) | b;
    HBITMAP bmp = CreateImageBitmap(1, 1, &pixel);
    if (!bmp) return;
    HDC mem = ::CreateCompatibleDC(dc);
    HGDIOBJ old = ::SelectObject(mem, bmp);
    BLENDFUNCTION bf{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    blend(dc, rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top, mem, 0, 0, 1, 1, bf);
    ::SelectObject(mem, old);
    ::DeleteDC(mem);
    ::DeleteObject(bmp);
}

void DrawSkinImage(HDC dc, const SkinImage& image, const RECT& control, const RECT& paint, const SkinRect& dest,
                   const SkinRect& source, int fade) {
    if (!image.bitmap) return;
    RECT target = control;
    if (!dest.IsZero()) {
        target.left = control.left + dest.left;
        target.top = control.top + dest.top;
        target.right = std::min<LONG>(control.right, control.left + dest.right);
        target.bottom = std::min<LONG>(control.bottom, control.top + dest.bottom);
    }
    RECT clipped, visible;
    if (!::IntersectRect(&clipped, &target, &control)) return;
    if (!::IntersectRect(&visible, &clipped, &paint)) return;

    RECT src{0, 0, image.width, image.height};
    if (!source.IsZero()) {
        src = RECT{source.left, source.top, source.right, source.bottom};
        RECT whole{0, 0, image.width, image.height};
        if (!::IntersectRect(&src, &src, &whole)) return;
    }
    HDC mem = ::CreateCompatibleDC(dc);
    HGDIOBJ old = ::SelectObject(mem, image.bitmap);
    const int dw = clipped.right - clipped.left, dh = clipped.bottom - clipped.top;
    const int sw = src.right - src.left, sh = src.bottom - src.top;
    AlphaBlendFn blend = GetAlphaBlend();
    if ((image.hasAlpha || fade < 255) && blend) {
        BLENDFUNCTION bf{AC_SRC_OVER, 0, static_cast<BYTE>(std::clamp(fade, 0, 255)),
                         static_cast<BYTE>(image.hasAlpha ? AC_SRC_ALPHA : 0)};
        blend(dc, clipped.left, clipped.top, dw, dh, mem, src.left, src.top, sw, sh, bf);
    } else if (dw == sw && dh == sh) {
        ::BitBlt(dc, clipped.left, clipped.top, dw, dh, mem, src.left, src.top, SRCCOPY);
    } else {
        int oldMode = ::SetStretchBltMode(dc, COLORONCOLOR);
        ::StretchBlt(dc, clipped.left, clipped.top, dw, dh, mem, src.left, src.top, sw, sh, SRCCOPY);
        ::SetStretchBltMode(dc, oldMode);
    }
    ::SelectObject(mem, old);
    ::DeleteDC(mem);
}

}  // namespace SkinUI
