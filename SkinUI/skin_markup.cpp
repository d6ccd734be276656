#include "SkinUI/skin_markup.h"
#include "SkinUI/skin_values.h"

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
    error_ = text;
    errorPos_ = pos_;
    return false;
}

void MarkupParser::SkipBlanks() {
    const std::wstring& s = *text_;
    while (pos_ < s.size() && IsBlank(s[pos_])) ++pos_;
}

std::wstring MarkupParser::ReadName() {
    const std::wstring& s = *text_;
    std::size_t start = pos_;
    while (pos_ < s.size() && IsNameChar(s[pos_])) ++pos_;
    return s.substr(start, pos_ - start);
}

bool MarkupParser::SkipSpecial() {
    const std::wstring& s = *text_;
    if (pos_ + 1 >= s.size() || s[pos_] != L'<') return false;
    const wchar_t* terminator;
    if (s[pos_ + 1] == L'?') terminator = L"?>";
    else if (s[pos_ + 1] == L'!') terminator = L"->";
    else return false;
    std::size_t end = s.find(terminator, pos_ + 2);
    pos_ = end == std::wstring::npos ? s.size() : end + 2;
    return true;
}

bool MarkupParser::Parse(const std::wstring& text, MarkupElement& root) {
    text_ = &text;
    pos_ = 0;
    error_.clear();
    errorPos_ = 0;
    root = MarkupElement();
    for (;;) {
        SkipBlanks();
        if (pos_ >= text.size() || text[pos_] != L'<') return Fail(L"Expected start tag");
        if (!SkipSpecial()) break;
    }
    MarkupElement parsed;
    if (!ParseElement(parsed, 1)) return false;
    root = std::move(parsed);
    return true;
}

bool MarkupParser::ParseElement(MarkupElement& element, int depth) {
    const std::wstring& s = *text_;
    if (depth > kMaxDepth) return Fail(L"Elements nested too deeply");
    ++pos_;   // '<'
    element.name = ReadName();
    if (element.name.empty()) return Fail(L"Error parsing element name");
    bool selfClosed = false;
    if (!ParseAttributes(element, selfClosed)) return false;
    if (selfClosed) return true;
    for (;;) {
        std::size_t lt = s.find(L'<', pos_);   // text between tags is not used
        if (lt == std::wstring::npos) {
            pos_ = s.size();
            return Fail(L"Expected end-tag start");
        }
        pos_ = lt;
        if (SkipSpecial()) continue;
        if (pos_ + 1 < s.size() && s[pos_ + 1] == L'/') {
            pos_ += 2;
            std::wstring closing = ReadName();
            if (closing.empty()) return Fail(L"Error parsing element name");
            SkipBlanks();
            if (closing != element.name || pos_ >= s.size() || s[pos_] != L'>')
                return Fail(L"Unmatched closing tag");
            ++pos_;
            return true;
        }
        element.children.emplace_back();
        if (!ParseElement(element.children.back(), depth + 1)) return false;
    }
}

bool MarkupParser::ParseAttributes(MarkupElement& element, bool& selfClosed) {
    const std::wstring& s = *text_;
    for (;;) {
        SkipBlanks();
        if (pos_ >= s.size()) return Fail(L"Expected start-tag closing");
        if (s[pos_] == L'>') {
            ++pos_;
            return true;
        }
        if (s[pos_] == L'/') {
            if (pos_ + 1 < s.size() && s[pos_ + 1] == L'>') {
                pos_ += 2;
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
    const std::wstring& s = *text_;
    attribute.first = ReadName();
    if (attribute.first.empty()) return Fail(L"Expected start-tag closing");
    SkipBlanks();
    if (pos_ >= s.size() || s[pos_] != L'=') return Fail(L"Expected start-tag closing");
    ++pos_;
    SkipBlanks();
    if (pos_ >= s.size() || s[pos_] != L'"') return Fail(L"Expected start-tag closing");
    std::size_t end = s.find(L'"', pos_ + 1);
    if (end == std::wstring::npos) {
        pos_ = s.size();
        return Fail(L"Expected start-tag closing");
    }
    attribute.second = DecodeEntities(s.substr(pos_ + 1, end - pos_ - 1));
    pos_ = end + 1;
    return true;
}

bool MarkupParser::ParseAttributeList(const std::wstring& text,
                                      std::vector<std::pair<std::wstring, std::wstring>>& attributes) {
    text_ = &text;
    pos_ = 0;
    error_.clear();
    attributes.clear();
    for (;;) {
        SkipBlanks();
        if (pos_ >= text.size()) return true;
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
        AppendCodePoint(out, cp);
        i = semi + 1;
    }
    return out;
}

}  // namespace SkinUI
