#include "app/core/utf8.h"

Utf8Sequence DecodeUtf8Sequence(const unsigned char* data, std::size_t size, std::size_t pos) {
    Utf8Sequence s;
    const unsigned char lead = data[pos];
    if (lead < 0x80) {
        s.codePoint = lead;
        s.valid = true;
        return s;
    }
    int extra;
    char32_t cp, minimum;
    if ((lead & 0xE0) == 0xC0) { extra = 1; cp = lead & 0x1F; minimum = 0x80; }
    else if ((lead & 0xF0) == 0xE0) { extra = 2; cp = lead & 0x0F; minimum = 0x800; }
    else if ((lead & 0xF8) == 0xF0) { extra = 3; cp = lead & 0x07; minimum = 0x10000; }
    else return s;
    std::size_t next = pos + 1;
    for (int k = 0; k < extra; ++k, ++next) {
        // A byte that is not a continuation may start the next sequence: stop before it.
        if (next >= size || (data[next] & 0xC0) != 0x80) {
            s.length = next - pos;
            return s;
        }
        cp = (cp << 6) | (data[next] & 0x3F);
    }
    s.length = next - pos;
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return s;
    s.codePoint = cp;
    s.valid = true;
    return s;
}

bool DecodeUtf8(const std::string& in, std::u32string* out) {
    out->clear();
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    for (std::size_t i = 0; i < in.size();) {
        const Utf8Sequence s = DecodeUtf8Sequence(p, in.size(), i);
        if (!s.valid) return false;
        out->push_back(s.codePoint);
        i += s.length;
    }
    return true;
}

void AppendUtf8(std::string* out, char32_t cp) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void AppendUtf16(std::wstring* out, char32_t cp) {
    if (sizeof(wchar_t) == 2 && cp >= 0x10000) {
        cp -= 0x10000;
        out->push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
        out->push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out->push_back(static_cast<wchar_t>(cp));
    }
}

std::wstring Utf8ToWide(const char* data, std::size_t size) {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    std::wstring out;
    out.reserve(size);
    for (std::size_t i = 0; i < size;) {
        const Utf8Sequence seq = DecodeUtf8Sequence(p, size, i);
        AppendUtf16(&out, seq.valid ? seq.codePoint : 0xFFFD);
        i += seq.length;
    }
    return out;
}

std::string WideToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = static_cast<char32_t>(text[i]);
        if (sizeof(wchar_t) == 2) cp &= 0xFFFF;
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size()) {
            const char32_t low = static_cast<char32_t>(text[i + 1]) & 0xFFFF;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
        AppendUtf8(&out, cp);
    }
    return out;
}
