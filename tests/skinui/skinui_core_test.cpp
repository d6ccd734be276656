// Portable parts of the toolkit: value syntaxes, markup, image descriptors, layout and
// progress arithmetic, pixel conversion.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SkinUI/skin_image_desc.h"
#include "SkinUI/skin_layout.h"
#include "SkinUI/skin_markup.h"
#include "SkinUI/skin_pixels.h"
#include "SkinUI/skin_values.h"
#include "app/core/ascii.h"
#include "app/core/utf8.h"

using namespace SkinUI;

TEST(SkinValues, Colours) {
    EXPECT_EQ(ParseColour(L"#FFFF9A00"), 0xFFFF9A00u);
    EXPECT_EQ(ParseColour(L"  \t#ff333333"), 0xFF333333u);
    EXPECT_EQ(ParseColour(L"00FFFFFF"), 0x00FFFFFFu);
    EXPECT_EQ(ParseColour(L"#"), 0u);
    EXPECT_EQ(ParseColour(L"#12zz"), 0x12u);
    EXPECT_EQ(ParseColour(L"#1FFFFFFFFF"), 0xFFFFFFFFu);   // too many digits saturate
    EXPECT_EQ(ParseColour(L"##FF"), 0u);                   // only one '#'
    EXPECT_EQ(ToColorRef(0xFF112233u), 0x00332211u);
}

TEST(SkinValues, IntegersRectanglesSizesBooleans) {
    EXPECT_EQ(ParseInteger(L"310"), 310);
    EXPECT_EQ(ParseInteger(L" -12px"), -12);
    EXPECT_EQ(ParseInteger(L"abc"), 0);
    EXPECT_EQ(ParseInteger(L"99999999999"), 2147483647);
    EXPECT_EQ(ParseInteger(L"-99999999999"), -2147483647 - 1);

    EXPECT_EQ(ParseRect(L"0,0,0,20"), (SkinRect{0, 0, 0, 20}));
    EXPECT_EQ(ParseRect(L"10, 8,0,0"), (SkinRect{10, 8, 0, 0}));   // blank before a number is read over
    EXPECT_EQ(ParseRect(L"1;2;3;4"), (SkinRect{1, 2, 3, 4}));      // any one separating character
    EXPECT_EQ(ParseRect(L"1,,3,4"), (SkinRect{1, 0, 3, 4}));       // the second ',' starts no number
    EXPECT_EQ(ParseRect(L"6"), (SkinRect{6, 0, 0, 0}));            // short text: the rest is 0, no overrun
    EXPECT_EQ(ParseRect(L""), (SkinRect{}));

    EXPECT_EQ(ParseSize(L"310,100"), (SkinSize{310, 100}));
    EXPECT_EQ(ParseSize(L"420x210"), (SkinSize{420, 210}));
    EXPECT_EQ(ParseSize(L"5"), (SkinSize{5, 0}));

    EXPECT_TRUE(ParseBoolean(L"true"));
    EXPECT_FALSE(ParseBoolean(L"True"));
    EXPECT_FALSE(ParseBoolean(L"1"));
    EXPECT_FALSE(ParseBoolean(L"true "));
}

TEST(SkinValues, Utf8AndNames) {
    std::string utf8 = "\xEF\xBB\xBF" "\xE5\x85\xB3\xE9\x97\xAD";   // BOM + 关闭
    EXPECT_EQ(DecodeSkinText(utf8.data(), utf8.size()), std::wstring(L"\u5173\u95ED"));
    std::string bad = "a\xC3" "b\xE5\x85";
    EXPECT_EQ(DecodeSkinText(bad.data(), bad.size()), std::wstring(L"a\uFFFDb\uFFFD"));
    std::string overlong = "\xC0\xAF";
    EXPECT_EQ(DecodeSkinText(overlong.data(), overlong.size()), std::wstring(L"\uFFFD"));
    EXPECT_EQ(WideToUtf8(L"\u5173x"), "\xE5\x85\xB3x");

    EXPECT_TRUE(EqualsIgnoreAsciiCase(L"HorizontalLayout", L"horizontallayout"));
    EXPECT_FALSE(EqualsIgnoreAsciiCase(L"Label", L"Labels"));
    EXPECT_EQ(AsciiUppered(L"png"), L"PNG");

    auto lookup = [](int id, std::wstring& out) {
        if (id != 7) return false;
        out = L"seven";
        return true;
    };
    EXPECT_EQ(ExpandLanguageRefs(L"a%{7}b%{8}c%{}%{7", lookup), L"asevenb%{8}c%{}%{7");
}

TEST(SkinMarkup, ParsesSkinShape) {
    const std::wstring skin =
        L"<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\" ?>\n"
        L"<Window caption=\"0,0,0,20\" size=\"310,100\"> <!-- top -->\n"
        L"  <Font name=\"x\" size=\"13\" />\n"
        L"  <VerticalLayout>text is ignored <!-- a comment -->\n"
        L"    <Button name=\"b\" normalimage=\"res='134' restype='png'\" text=\"a &amp; &#x5173;\"/>\n"
        L"  </VerticalLayout>\n"
        L"</Window> trailing text";
    MarkupParser parser;
    MarkupElement root;
    ASSERT_TRUE(parser.Parse(skin, root)) << std::string(parser.ErrorText().begin(), parser.ErrorText().end());
    EXPECT_EQ(root.name, L"Window");
    ASSERT_EQ(root.attributes.size(), 2u);
    EXPECT_EQ(root.attributes[0].first, L"caption");
    EXPECT_EQ(root.attributes[1].second, L"310,100");
    ASSERT_EQ(root.children.size(), 2u);
    const MarkupElement& button = root.children[1].children.at(0);
    EXPECT_EQ(button.name, L"Button");
    EXPECT_EQ(*button.Attribute(L"normalimage"), L"res='134' restype='png'");
    EXPECT_EQ(*button.Attribute(L"text"), L"a & \u5173");
    EXPECT_EQ(button.Attribute(L"missing"), nullptr);
}

TEST(SkinMarkup, ReportsEachErrorText) {
    struct Case { const wchar_t* text; const wchar_t* error; };
    const Case cases[] = {
        {L"", L"Expected start tag"},
        {L"   hello", L"Expected start tag"},
        {L"<?xml version=\"1.0\"?>", L"Expected start tag"},
        {L"< Window/>", L"Error parsing element name"},
        {L"<Window><></Window>", L"Error parsing element name"},
        {L"<Window a=\"1\"", L"Expected start-tag closing"},
        {L"<Window a=1/>", L"Expected start-tag closing"},
        {L"<Window a=\"1/>", L"Expected start-tag closing"},
        {L"<Window a/>", L"Expected start-tag closing"},
        {L"<Window / >", L"Expected start-tag closing"},
        {L"<Window>", L"Expected end-tag start"},
        {L"<Window><Label/>", L"Expected end-tag start"},
        {L"<Window></Label>", L"Unmatched closing tag"},
        {L"<Window></Window", L"Unmatched closing tag"},
    };
    for (const Case& c : cases) {
        MarkupParser parser;
        MarkupElement root;
        EXPECT_FALSE(parser.Parse(c.text, root)) << std::wstring(c.text).size();
        EXPECT_EQ(parser.ErrorText(), std::wstring(c.error))
            << "input: " << WideToUtf8(c.text) << " got: " << WideToUtf8(parser.ErrorText());
        EXPECT_TRUE(root.name.empty());
    }
}

TEST(SkinMarkup, DeepNestingIsRefusedNotFatal) {
    std::wstring deep;
    for (int i = 0; i < 100000; ++i) deep += L"<a>";
    MarkupParser parser;
    MarkupElement root;
    EXPECT_FALSE(parser.Parse(deep, root));
    EXPECT_EQ(parser.ErrorText(), L"Elements nested too deeply");

    std::wstring ok;
    for (int i = 0; i < MarkupParser::kMaxDepth; ++i) ok += L"<a>";
    for (int i = 0; i < MarkupParser::kMaxDepth; ++i) ok += L"</a>";
    EXPECT_TRUE(parser.Parse(ok, root));
}

TEST(SkinMarkup, AttributeLists) {
    MarkupParser parser;
    std::vector<std::pair<std::wstring, std::wstring>> attrs;
    ASSERT_TRUE(parser.ParseAttributeList(L" width=\"20\"  text=\"it's\" ", attrs));
    ASSERT_EQ(attrs.size(), 2u);
    EXPECT_EQ(attrs[1].second, L"it's");
    EXPECT_FALSE(parser.ParseAttributeList(L"width=20", attrs));
    EXPECT_TRUE(attrs.empty());
}

TEST(SkinImageDescriptor, PairsAndPlainNames) {
    ImageDescriptor d = ParseImageDescriptor(L"res='133' restype='png'");
    EXPECT_EQ(d.name, L"133");
    EXPECT_TRUE(d.fromResource);
    EXPECT_EQ(d.resourceType, L"png");

    d = ParseImageDescriptor(L"close.png");
    EXPECT_EQ(d.name, L"close.png");
    EXPECT_FALSE(d.fromResource);

    d = ParseImageDescriptor(L"file='a.png' dest='1,2,30,40' source='0,0,5,6' mask='#FF00FF00' fade='300' "
                             L"corner='1,1,1,1' xtiled='true' unknown='x'");
    EXPECT_EQ(d.name, L"a.png");
    EXPECT_EQ(d.dest, (SkinRect{1, 2, 30, 40}));
    EXPECT_EQ(d.source, (SkinRect{0, 0, 5, 6}));
    EXPECT_EQ(d.mask, 0xFF00FF00u);
    EXPECT_EQ(d.fade, 255);
    EXPECT_TRUE(d.xtiled);
    EXPECT_FALSE(d.ytiled);

    // Junk after the last complete pair is ignored; an empty value is skipped.
    d = ParseImageDescriptor(L"res='134' restype='png'junk");
    EXPECT_EQ(d.name, L"134");
    EXPECT_EQ(d.resourceType, L"png");
    d = ParseImageDescriptor(L"res='134' restype='png' ");
    EXPECT_EQ(d.resourceType, L"png");
    d = ParseImageDescriptor(L"res='134' restype=''");
    EXPECT_EQ(d.resourceType, L"");
    d = ParseImageDescriptor(L"res='134' restype='png");   // unterminated pair is not used
    EXPECT_EQ(d.name, L"134");
    EXPECT_EQ(d.resourceType, L"");
    d = ParseImageDescriptor(L"  res = '140'");
    EXPECT_EQ(d.name, L"140");
}

TEST(SkinImageDescriptor, ResourceIds) {
    EXPECT_EQ(ResourceIdFromName(L"134"), 134u);
    EXPECT_EQ(ResourceIdFromName(L"12ab"), 12u);
    EXPECT_EQ(ResourceIdFromName(L"a12"), 0u);
    EXPECT_EQ(ResourceIdFromName(L""), 0u);
    EXPECT_EQ(ResourceIdFromName(L"65536"), 0u);
}

namespace {

// Children measure to their fixed size, as layouts and images-only buttons do.
std::vector<SkinRect> Row(int width, const std::vector<LayoutChild>& kids, int childPadding = 0,
                          SkinRect inset = {}, bool horizontal = true, int height = 30) {
    MeasureFn measure = [&kids](std::size_t i, SkinSize) { return SkinSize{kids[i].fixedWidth, kids[i].fixedHeight}; };
    SkinRect rc{0, 0, width, height};
    if (!horizontal) rc = SkinRect{0, 0, height, width};
    return horizontal ? ArrangeHorizontal(rc, inset, childPadding, kids, measure)
                      : ArrangeVertical(rc, inset, childPadding, kids, measure);
}

LayoutChild Fixed(int w, SkinRect padding = {}) {
    LayoutChild c;
    c.fixedWidth = w;
    c.padding = padding;
    return c;
}

}  // namespace

TEST(SkinLayout, FlexibleChildrenShareAndLastAbsorbsRounding) {
    auto r = Row(301, {LayoutChild{}, LayoutChild{}});
    EXPECT_EQ(r[0], (SkinRect{0, 0, 150, 30}));
    EXPECT_EQ(r[1], (SkinRect{150, 0, 301, 30}));

    r = Row(301, {LayoutChild{}, LayoutChild{}}, 5);   // the gap is not lost
    EXPECT_EQ(r[0].Width(), 148);
    EXPECT_EQ(r[1], (SkinRect{153, 0, 301, 30}));
}

TEST(SkinLayout, NeverNegative) {
    auto r = Row(100, {Fixed(80), LayoutChild{}, Fixed(60), LayoutChild{}});
    EXPECT_EQ(r[1].Width(), 0);
    EXPECT_EQ(r[3].Width(), 0);
    EXPECT_GE(r[3].left, r[2].right);

    // Cross axis: paddings larger than the content give height 0, not less.
    LayoutChild tall;
    tall.fixedWidth = 10;
    tall.padding = SkinRect{0, 20, 0, 20};
    r = Row(100, {tall}, 0, {}, true, 30);
    EXPECT_EQ(r[0].Height(), 0);
}

TEST(SkinLayout, TitleRowOfTheUpdaterSkinFillsTheWidth) {
    // padding 10 + width 200, a filler, width 20: the close-button column ends at the right edge.
    auto r = Row(310, {Fixed(200, SkinRect{10, 0, 0, 0}), LayoutChild{}, Fixed(20)});
    EXPECT_EQ(r[0], (SkinRect{10, 0, 210, 30}));
    EXPECT_EQ(r[1], (SkinRect{210, 0, 290, 30}));
    EXPECT_EQ(r[2], (SkinRect{290, 0, 310, 30}));
}

TEST(SkinLayout, HiddenChildrenTakeNoSpaceAndPaddingIsTrailingInclusive) {
    LayoutChild hidden = Fixed(50);
    hidden.visible = false;
    LayoutChild button = Fixed(71, SkinRect{9, 2, 0, 0});
    button.fixedHeight = 26;
    auto r = Row(300, {hidden, LayoutChild{}, button}, 0, SkinRect{0, 0, 0, 0}, true, 40);
    EXPECT_EQ(r[0], (SkinRect{}));
    EXPECT_EQ(r[1], (SkinRect{0, 0, 220, 40}));
    EXPECT_EQ(r[2], (SkinRect{229, 2, 300, 28}));

    LayoutChild trailing = Fixed(40, SkinRect{0, 0, 7, 0});
    r = Row(100, {trailing, LayoutChild{}});
    EXPECT_EQ(r[0], (SkinRect{0, 0, 47, 30}));   // right padding is inside the placed rectangle
    EXPECT_EQ(r[1], (SkinRect{47, 0, 100, 30}));
}

TEST(SkinLayout, MinMaxAndInset) {
    LayoutChild capped;
    capped.maxWidth = 50;
    LayoutChild floor;
    floor.fixedWidth = 5;
    floor.minWidth = 30;
    auto r = Row(200, {capped, floor}, 0, SkinRect{10, 3, 10, 3});
    EXPECT_EQ(r[0], (SkinRect{10, 3, 60, 27}));
    EXPECT_EQ(r[1], (SkinRect{60, 3, 90, 27}));
}

TEST(SkinLayout, VerticalSwapsAxes) {
    // The updater skin's body: a 30-pixel title row over a flexible body, in a 100-pixel window.
    LayoutChild title;
    title.fixedHeight = 30;
    LayoutChild body;
    LayoutChild narrow;
    narrow.fixedWidth = 40;
    narrow.fixedHeight = 10;
    narrow.padding = SkinRect{5, 4, 0, 6};
    MeasureFn measure = [&](std::size_t i, SkinSize) {
        const LayoutChild* c[] = {&title, &body, &narrow};
        return SkinSize{c[i]->fixedWidth, c[i]->fixedHeight};
    };
    auto r = ArrangeVertical(SkinRect{0, 0, 310, 100}, SkinRect{}, 0, {title, body, narrow}, measure);
    EXPECT_EQ(r[0], (SkinRect{0, 0, 310, 30}));
    EXPECT_EQ(r[1], (SkinRect{0, 30, 310, 80}));
    EXPECT_EQ(r[2], (SkinRect{5, 84, 45, 100}));   // includes the bottom padding

    MeasureFn flexible = [](std::size_t, SkinSize) { return SkinSize{}; };
    r = ArrangeVertical(SkinRect{0, 0, 50, 301}, SkinRect{}, 0, {body, body}, flexible);
    EXPECT_EQ(r[0].Height(), 150);
    EXPECT_EQ(r[1].Height(), 151);
}

TEST(SkinLayout, ProgressFill) {
    EXPECT_EQ(ProgressFillLength(280, 0, 100, 37), 103);
    EXPECT_EQ(ProgressFillLength(280, 0, 100, 0), 0);
    EXPECT_EQ(ProgressFillLength(280, 0, 100, 100), 280);
    EXPECT_EQ(ProgressFillLength(280, 0, 100, 250), 280);
    EXPECT_EQ(ProgressFillLength(280, 0, 100, -5), 0);
    EXPECT_EQ(ProgressFillLength(280, 5, 5, 6), 280);    // max = min treated as min + 1
    EXPECT_EQ(ProgressFillLength(280, 10, 0, 10), 0);
    EXPECT_EQ(ProgressFillLength(30000, -2147483647 - 1, 2147483647, 0), 15000);   // no overflow
}

TEST(SkinLayout, Centring) {
    SkinRect work{0, 0, 1280, 770};
    EXPECT_EQ(CentredPosition({310, 100}, SkinRect{100, 100, 501, 301}, work), (SkinSize{145, 150}));
    EXPECT_EQ(CentredPosition({310, 100}, work, work), (SkinSize{485, 335}));
    EXPECT_EQ(CentredPosition({1500, 100}, work, work), (SkinSize{0, 335}));   // wider: left edge
    EXPECT_EQ(CentredPosition({310, 100}, SkinRect{1200, 700, 1280, 770}, work), (SkinSize{970, 670}));
}

TEST(SkinPixels, PremultiplyAndMask) {
    const std::uint8_t rgba[] = {
        255, 154, 0, 255,    // opaque orange stays as is
        200, 100, 50, 128,   // half transparent: premultiplied with integer division
        10, 20, 30, 255,     // equals the mask below: becomes transparent
        0, 0, 0, 0,
    };
    DecodedImage img;
    PremultiplyRgba(rgba, 2, 2, 0xFF0A141Eu, img);
    ASSERT_EQ(img.pixels.size(), 4u);
    EXPECT_EQ(img.pixels[0], 0xFFFF9A00u);
    EXPECT_EQ(img.pixels[1], (128u << 24) | (100u << 16) | (50u << 8) | 25u);
    EXPECT_EQ(img.pixels[2], 0u);
    EXPECT_EQ(img.pixels[3], 0u);
    EXPECT_TRUE(img.hasAlpha);

    const std::uint8_t opaque[] = {1, 2, 3, 255};
    PremultiplyRgba(opaque, 1, 1, 0, img);
    EXPECT_FALSE(img.hasAlpha);
    EXPECT_EQ(img.pixels[0], 0xFF010203u);
}

TEST(SkinPixels, DecodeRejectsGarbage) {
    DecodedImage img;
    std::string error;
    const char junk[] = "not an image at all";
    EXPECT_FALSE(DecodeImage(junk, sizeof junk, 0, img, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(DecodeImage(nullptr, 0, 0, img, error));

    // A 1x1 grey PGM (netpbm), which the decoder reads as well.
    const char pgm[] = "P5 1 1 255\n\x80";
    ASSERT_TRUE(DecodeImage(pgm, sizeof pgm - 1, 0, img, error)) << error;
    EXPECT_EQ(img.width, 1);
    EXPECT_EQ(img.pixels[0], 0xFF808080u);
}
