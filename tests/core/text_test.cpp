// The shared text helpers: one strict UTF-8 decoder whose callers refuse or replace, and case
// folding of ASCII letters only.
#include <gtest/gtest.h>

#include <string>

#include "app/core/ascii.h"
#include "app/core/textconv.h"
#include "app/core/utf8.h"

TEST(CoreText, OneStrictDecoderRefusedOrReplaced) {
    std::u32string out;
    EXPECT_TRUE(DecodeUtf8("a\xE6\x95\x99\xF0\x9F\x98\x80", &out));
    EXPECT_EQ(out, std::u32string(U"a\u6559\U0001F600"));
    // Overlong slash, encoded surrogate, beyond U+10FFFF, cut off, lone continuation byte.
    for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE6\x95", "\x80"})
        EXPECT_FALSE(DecodeUtf8(bad, &out)) << bad;
#ifndef _WIN32
    // The native text conversion replaces what the decoder refuses: an overlong slash is no slash.
    EXPECT_EQ(ToWide("a\xC0\xAF" "b"), std::wstring(L"a\uFFFDb"));
    EXPECT_EQ(ToWide("\xE6\x95" "x"), std::wstring(L"\uFFFDx"));   // the byte after a cut sequence survives
    EXPECT_EQ(ToNarrow(ToWide("\xE6\x95\x99\xE5\xAE\xA4")), "\xE6\x95\x99\xE5\xAE\xA4");
#endif
}

TEST(CoreText, CaseFoldingTouchesAsciiLettersOnly) {
    EXPECT_TRUE(EqualsIgnoreAsciiCase(std::wstring(L"ZPVCLIENT.EXE"), std::string("zpvclient.exe")));
    EXPECT_FALSE(EqualsIgnoreAsciiCase(L"zpvclient.exe", "zpvclient.exe.bak"));
    EXPECT_FALSE(EqualsIgnoreAsciiCase(L"\u00C4", L"\u00E4"));   // other scripts keep their case
    EXPECT_FALSE(EqualsIgnoreAsciiCase(L"\u0130", L"i"));
    EXPECT_EQ(AsciiUppered(L"png\u00E9"), std::wstring(L"PNG\u00E9"));
    EXPECT_EQ(AsciiLowered(std::string("Veltaro/BIN")), "veltaro/bin");
}
