#include "SkinUI/skin_markup.h"
#include "SkinUI/skin_values.h"

#include "app/core/utf8.h"

namespace SkinUI {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

bool IsNameChar(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
           c == L'_' || c == L':' || c == L'-' || c == L'.' || c > 0x7F;
}

}  // namespace

const std::wstring* MarkupElement::Attribute(const std::wstring& attrName) const {
    for (const auto& a : attributes)
        if (a.first == attrName) return &a.second;
    return nullptr;
}

bool MarkupParser::Fail(const wchar_t* text) {
    m_error = text;
    m_errorPos = m_pos;
    return false;
}

void MarkupParser::SkipBlanks() {
    const std::wstring& s = *m_text;
    while (m_pos < s.size() && IsBlank(s[m_pos])) ++m_pos;
}

std::wstring MarkupParser::ReadName() {
    const std::wstring& s = *m_text;
    std::size_t start = m_pos;
    while (m_pos < s.size() && IsNameChar(s[m_pos])) ++m_pos;
    return s.substr(start, m_pos - start);
}

bool MarkupParser::SkipSpecial() {
    const std::wstring& s = *m_text;
    if (m_pos + 1 >= s.size() || s[m_pos] != L'<') return false;
    const wchar_t* terminator;
    if (s[m_pos + 1] == L'?') terminator = L"?>";
    else if (s[m_pos + 1] == L'!') terminator = L"->";
    else return false;
    std::size_t end = s.find(terminator, m_pos + 2);
    m_pos = end == std::wstring::npos ? s.size() : end + 2;
    return true;
}

bool MarkupParser::Parse(const std::wstring& text, MarkupElement& root) {
    m_text = &text;
    m_pos = 0;
    m_error.clear();
    m_errorPos = 0;
    root = MarkupElement();
    for (;;) {
        SkipBlanks();
        if (m_pos >= text.size() || text[m_pos] != L'<') return Fail(L"Expected start tag");
        if (!SkipSpecial()) break;
    }
    MarkupElement parsed;
    if (!ParseElement(parsed, 1)) return false;
    root = std::move(parsed);
    return true;
}

bool MarkupParser::ParseElement(MarkupElement& element, int depth) {
    const std::wstring& s = *m_text;
    if (depth > kMaxDepth) return Fail(L"Elements nested too deeply");
    ++m_pos;   // '<'
    element.name = ReadName();
    if (element.name.empty()) return Fail(L"Error parsing element name");
    bool selfClosed = false;
    if (!ParseAttributes(element, selfClosed)) return false;
    if (selfClosed) return true;
    for (;;) {
        std::size_t lt = s.find(L'<', m_pos);   // text between tags is not used
        if (lt == std::wstring::npos) {
            m_pos = s.size();
            return Fail(L"Expected end-tag start");
        }
        m_pos = lt;
        if (SkipSpecial()) continue;
        if (m_pos + 1 < s.size() && s[m_pos + 1] == L'/') {
            m_pos += 2;
            std::wstring closing = ReadName();
            if (closing.empty()) return Fail(L"Error parsing element name");
            SkipBlanks();
            if (closing != element.name || m_pos >= s.size() || s[m_pos] != L'>')
                return Fail(L"Unmatched closing tag");
            ++m_pos;
            return true;
        }
        element.children.emplace_back();
        if (!ParseElement(element.children.back(), depth + 1)) return false;
    }
}

bool MarkupParser::ParseAttributes(MarkupElement& element, bool& selfClosed) {
    const std::wstring& s = *m_text;
    for (;;) {
        SkipBlanks();
        if (m_pos >= s.size()) return Fail(L"Expected start-tag closing");
        if (s[m_pos] == L'>') {
            ++m_pos;
            return true;
        }
        if (s[m_pos] == L'/') {
            if (m_pos + 1 < s.size() && s[m_pos + 1] == L'>') {
                m_pos += 2;
                selfClosed = true;
                return true;
            }
            return Fail(L"Expected start-tag closing");
        }
        std::pair<std::wstring, std::wstring> attribute;
        if (!ParseAttribute(attribute)) return false;
        element.attributes.push_back(std::move(attribute));
    }
}

bool MarkupParser::ParseAttribute(std::pair<std::wstring, std::wstring>& attribute) {
    const std::wstring& s = *m_text;
    attribute.first = ReadName();
    if (attribute.first.empty()) return Fail(L"Expected start-tag closing");
    SkipBlanks();
    if (m_pos >= s.size() || s[m_pos] != L'=') return Fail(L"Expected start-tag closing");
    ++m_pos;
    SkipBlanks();
    if (m_pos >= s.size() || s[m_pos] != L'"') return Fail(L"Expected start-tag closing");
    std::size_t end = s.find(L'"', m_pos + 1);
    if (end == std::wstring::npos) {
        m_pos = s.size();
        return Fail(L"Expected start-tag closing");
    }
    attribute.second = DecodeEntities(s.substr(m_pos + 1, end - m_pos - 1));
    m_pos = end + 1;
    return true;
}

bool MarkupParser::ParseAttributeList(const std::wstring& text,
                                      std::vector<std::pair<std::wstring, std::wstring>>& attributes) {
    m_text = &text;
    m_pos = 0;
    m_error.clear();
    attributes.clear();
    for (;;) {
        SkipBlanks();
        if (m_pos >= text.size()) return true;
        std::pair<std::wstring, std::wstring> attribute;
        if (!ParseAttribute(attribute)) {
            attributes.clear();
            return false;
        }
        attributes.push_back(std::move(attribute));
    }
}

std::wstring DecodeEntities(const std::wstring& value) {
    if (value.find(L'&') == std::wstring::npos) return value;
    std::wstring out;
    std::size_t i = 0;
    while (i < value.size()) {
        if (value[i] != L'&') {
            out.push_back(value[i++]);
            continue;
        }
        std::size_t semi = value.find(L';', i + 1);
        if (semi == std::wstring::npos || semi - i > 12) {
            out.push_back(value[i++]);
            continue;
        }
        std::wstring name = value.substr(i + 1, semi - i - 1);
        unsigned long cp = 0;
        bool ok = true;
        if (name == L"amp") cp = L'&';
        else if (name == L"lt") cp = L'<';
        else if (name == L"gt") cp = L'>';
        else if (name == L"quot") cp = L'"';
        else if (name == L"apos") cp = L'\'';
        else if (name.size() > 1 && name[0] == L'#') {
            bool hex = name[1] == L'x' || name[1] == L'X';
            std::size_t k = hex ? 2 : 1;
            ok = k < name.size();
            for (; k < name.size() && ok; ++k) {
                wchar_t c = name[k];
                int d = (c >= L'0' && c <= L'9') ? c - L'0'
                        : (hex && c >= L'a' && c <= L'f') ? c - L'a' + 10
                        : (hex && c >= L'A' && c <= L'F') ? c - L'A' + 10 : -1;
                if (d < 0) ok = false;
                else cp = cp * (hex ? 16 : 10) + static_cast<unsigned long>(d);
                if (cp > 0x10FFFF) ok = false;
            }
            if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) ok = false;
        } else {
            ok = false;
        }
        if (!ok) {
            out.push_back(value[i++]);
            continue;
        }
        AppendUtf16(&out, static_cast<char32_t>(cp));
        i = semi + 1;
    }
    return out;
}

}  // namespace SkinUI
