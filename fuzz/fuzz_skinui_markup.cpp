// Feeds arbitrary bytes to the skin markup parser (as UTF-8 skin text), to the attribute-list
// parser and to the image descriptor parser, and checks their invariants.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "SkinUI/skin_image_desc.h"
#include "SkinUI/skin_markup.h"
#include "SkinUI/skin_values.h"

namespace {

int Depth(const SkinUI::MarkupElement& e) {
    int deepest = 0;
    for (const auto& c : e.children) {
        int d = Depth(c);
        if (d > deepest) deepest = d;
    }
    return deepest + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::wstring text = SkinUI::DecodeSkinText(reinterpret_cast<const char*>(data), size);

    SkinUI::MarkupParser parser;
    SkinUI::MarkupElement root;
    if (parser.Parse(text, root)) {
        if (root.name.empty() || Depth(root) > SkinUI::MarkupParser::kMaxDepth) std::abort();
    } else if (parser.ErrorText().empty() || !root.name.empty() || parser.ErrorOffset() > text.size()) {
        std::abort();
    }
    std::vector<std::pair<std::wstring, std::wstring>> attrs;
    parser.ParseAttributeList(text, attrs);

    SkinUI::ImageDescriptor d = SkinUI::ParseImageDescriptor(text);
    if (d.fade < 0 || d.fade > 255) std::abort();
    if (!d.fromResource && d.resourceType.empty() && text.find(L'\'') == std::wstring::npos && d.name != text)
        std::abort();   // without any pair the whole text is the name
    SkinUI::ResourceIdFromName(d.name);
    SkinUI::ParseRect(text);
    SkinUI::ParseColour(text);
    return 0;
}
