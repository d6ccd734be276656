// Portable value types and the attribute value syntaxes of the skin markup.
// All texts are wide strings (UTF-16 on Windows; UTF-32 code units elsewhere).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace SkinUI {

struct SkinRect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool IsZero() const { return left == 0 && top == 0 && right == 0 && bottom == 0; }
    bool operator==(const SkinRect& o) const {
        return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
    }
    bool operator!=(const SkinRect& o) const { return !(*this == o); }
};

struct SkinSize {
    int cx = 0, cy = 0;
    bool operator==(const SkinSize& o) const { return cx == o.cx && cy == o.cy; }
};

// Colour: leading characters with code <= 32 skipped, one optional '#', hexadecimal digits as
// 0xAARRGGBB. Digits beyond 32 bits saturate to 0xFFFFFFFF; no digits give 0.
std::uint32_t ParseColour(const std::wstring& text);

// Integer: leading blanks, optional sign, decimal digits (the leading part of the text).
// No digits give 0; values beyond the int range saturate.
int ParseInteger(const std::wstring& text);

// Rectangle "l,t,r,b": four integers, exactly one separating character skipped after each.
// Missing numbers are 0; a short text never reads past its end.
SkinRect ParseRect(const std::wstring& text);

// Size "cx,cy": two integers with one separating character.
SkinSize ParseSize(const std::wstring& text);

// Boolean: only the exact lower-case text "true" is true.
bool ParseBoolean(const std::wstring& text);

// UTF-8 bytes of a skin to wide text; a leading byte-order mark is dropped, invalid sequences
// become U+FFFD.
std::wstring DecodeSkinText(const char* data, std::size_t size);

// Replaces each "%{n}" (n decimal digits) for which lookup(n, out) yields a text; other
// occurrences stay as they are.
std::wstring ExpandLanguageRefs(const std::wstring& text,
                                const std::function<bool(int, std::wstring&)>& lookup);

// Text colour of a 0xAARRGGBB colour as 0x00BBGGRR (the platform's COLORREF layout).
inline std::uint32_t ToColorRef(std::uint32_t argb) {
    return ((argb >> 16) & 0xFF) | (argb & 0xFF00) | ((argb & 0xFF) << 16);
}

}  // namespace SkinUI
