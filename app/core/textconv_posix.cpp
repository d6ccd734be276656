// Text conversions natively, where the narrow code page is UTF-8.
#include "app/core/textconv.h"

#include "app/core/utf8.h"

// UTF-8 <-> UTF-32 (wchar_t is 32 bits here); what cannot be converted becomes '?' / U+FFFD.
std::string ToNarrow(const std::wstring& wide) {
    std::string out;
    out.reserve(wide.size());
    for (wchar_t wc : wide) {
        const auto c = static_cast<char32_t>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out += '?';
        } else {
            AppendUtf8(&out, c);
        }
    }
    return out;
}

std::string ToNarrowPath(const std::wstring& path) { return ToNarrow(path); }

std::wstring ToWide(const std::string& s) {
    std::wstring out;
    out.reserve(s.size());
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (std::size_t i = 0; i < s.size();) {
        const Utf8Sequence seq = DecodeUtf8Sequence(p, s.size(), i);
        out += seq.valid ? static_cast<wchar_t>(seq.codePoint) : L'\uFFFD';
        i += seq.length;
    }
    return out;
}
