#include "SkinUI/skin_values.h"

#include <climits>

#include "app/core/utf8.h"

namespace SkinUI {
namespace {

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Reads a decimal integer like the C library's strtol: blanks, sign, digits; saturating.
int ReadInt(const std::wstring& s, std::size_t& pos) {
    std::size_t p = pos;
    while (p < s.size() && (s[p] == L' ' || (s[p] >= L'\t' && s[p] <= L'\r'))) ++p;
    bool negative = false;
    if (p < s.size() && (s[p] == L'+' || s[p] == L'-')) {
        negative = s[p] == L'-';
        ++p;
    }
    if (p >= s.size() || !IsDigit(s[p])) return 0;   // no number: nothing consumed
    long long value = 0;
    while (p < s.size() && IsDigit(s[p])) {
        if (value <= static_cast<long long>(INT_MAX) + 1) value = value * 10 + (s[p] - L'0');
        ++p;
    }
    pos = p;
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// Reads one number, then skips exactly one separating character when there is one.
int ReadListedInt(const std::wstring& s, std::size_t& pos) {
    int v = ReadInt(s, pos);
    if (pos < s.size()) ++pos;
    return v;
}

}  // namespace

std::uint32_t ParseColour(const std::wstring& text) {
    std::size_t p = 0;
    while (p < text.size() && text[p] <= 32) ++p;
    if (p < text.size() && text[p] == L'#') ++p;
    unsigned long long value = 0;
    for (; p < text.size() && HexValue(text[p]) >= 0; ++p) {
        value = value * 16 + static_cast<unsigned>(HexValue(text[p]));
        if (value > 0xFFFFFFFFull) value = 0x100000000ull;   // saturate, keep reading digits
    }
    return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value);
}

int ParseInteger(const std::wstring& text) {
    std::size_t p = 0;
    return ReadInt(text, p);
}

SkinRect ParseRect(const std::wstring& text) {
    std::size_t p = 0;
    SkinRect r;
    r.left = ReadListedInt(text, p);
    r.top = ReadListedInt(text, p);
    r.right = ReadListedInt(text, p);
    r.bottom = ReadListedInt(text, p);
    return r;
}

SkinSize ParseSize(const std::wstring& text) {
    std::size_t p = 0;
    SkinSize s;
    s.cx = ReadListedInt(text, p);
    s.cy = ReadListedInt(text, p);
    return s;
}

bool ParseBoolean(const std::wstring& text) { return text == L"true"; }

std::wstring DecodeSkinText(const char* data, std::size_t size) {
    const auto* s = reinterpret_cast<const unsigned char*>(data);
    const std::size_t bom = size >= 3 && s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF ? 3 : 0;
    return Utf8ToWide(data + bom, size - bom);
}

std::wstring ExpandLanguageRefs(const std::wstring& text,
                                const std::function<bool(int, std::wstring&)>& lookup) {
    std::wstring out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == L'%' && i + 2 < text.size() && text[i + 1] == L'{') {
            std::size_t j = i + 2;
            long long id = 0;
            while (j < text.size() && IsDigit(text[j]) && id <= INT_MAX) id = id * 10 + (text[j++] - L'0');
            std::wstring replacement;
            if (j > i + 2 && j < text.size() && text[j] == L'}' && id <= INT_MAX &&
                lookup && lookup(static_cast<int>(id), replacement)) {
                out += replacement;
                i = j + 1;
                continue;
            }
        }
        out.push_back(text[i++]);
    }
    return out;
}

}  // namespace SkinUI
