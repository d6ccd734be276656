#include "SkinUI/skin_image_desc.h"

namespace SkinUI {

ImageDescriptor ParseImageDescriptor(const std::wstring& text) {
    ImageDescriptor d;
    d.name = text;
    const std::wstring& s = text;
    std::size_t p = 0;
    for (;;) {
        while (p < s.size() && s[p] <= 32) ++p;
        std::size_t keyStart = p;
        while (p < s.size() && s[p] != L'=' && s[p] != L' ') ++p;
        std::wstring key = s.substr(keyStart, p - keyStart);
        while (p < s.size() && s[p] == L' ') ++p;
        if (p >= s.size() || s[p] != L'=') break;
        ++p;
        while (p < s.size() && s[p] == L' ') ++p;
        if (p >= s.size() || s[p] != L'\'') break;
        ++p;
        std::size_t valueStart = p;
        while (p < s.size() && s[p] != L'\'') ++p;
        if (p >= s.size()) break;   // no closing quote: the pair is not used
        std::wstring value = s.substr(valueStart, p - valueStart);
        ++p;
        if (!value.empty()) {
            if (key == L"file") { d.name = value; d.fromResource = false; }
            else if (key == L"res") { d.name = value; d.fromResource = true; }
            else if (key == L"restype") d.resourceType = value;
            else if (key == L"dest") d.dest = ParseRect(value);
            else if (key == L"source") d.source = ParseRect(value);
            else if (key == L"corner") d.corner = ParseRect(value);
            else if (key == L"mask") d.mask = ParseColour(value);
            else if (key == L"fade") {
                int f = ParseInteger(value);
                d.fade = f < 0 ? 0 : (f > 255 ? 255 : f);
            }
            else if (key == L"hole") d.hole = ParseBoolean(value);
            else if (key == L"xtiled") d.xtiled = ParseBoolean(value);
            else if (key == L"ytiled") d.ytiled = ParseBoolean(value);
            else if (key == L"hsl") d.hsl = ParseBoolean(value);
        }
        if (p + 1 >= s.size() || s[p] != L' ') break;   // go on only at a blank before more text
        ++p;
    }
    return d;
}

unsigned ResourceIdFromName(const std::wstring& name) {
    if (name.empty() || name[0] < L'0' || name[0] > L'9') return 0;
    unsigned long id = 0;
    for (wchar_t c : name) {
        if (c < L'0' || c > L'9') break;
        id = id * 10 + static_cast<unsigned long>(c - L'0');
        if (id > 0xFFFF) return 0;
    }
    return static_cast<unsigned>(id);
}

}  // namespace SkinUI
