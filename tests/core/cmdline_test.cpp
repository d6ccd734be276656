#include <gtest/gtest.h>

#include "app/core/cmdline.h"

namespace {
std::wstring Get(const CCmdLineParser& p, const std::wstring& key) { return p.GetValue(key); }
bool Has(const CCmdLineParser& p, const std::wstring& key) { return p.FindKey(key) != p.end(); }
}  // namespace

TEST(CmdLine, EmptyAndNullTextsGiveAnEmptyMap) {
    CCmdLineParser a(nullptr), b(L"");
    EXPECT_TRUE(a.values().empty());
    EXPECT_TRUE(b.values().empty());
    EXPECT_EQ(Get(a, L"url"), L"");
    CCmdLineParser c(L"-url=x");
    c.Parse(nullptr);   // a null text changes nothing
    EXPECT_EQ(Get(c, L"url"), L"x");
    c.Parse(L"-md5=y");   // a new text replaces the whole map
    EXPECT_FALSE(Has(c, L"url"));
    EXPECT_EQ(Get(c, L"md5"), L"y");
}

TEST(CmdLine, FullUpdaterCommandLine) {
    CCmdLineParser p(L"C:\\x\\ZPVUpdate.exe -url=http://h:8080/a/b.zip -md5=ABCDEF "
                     L"-pagecallparam=\"a b c\" -forcedupdate=1");
    EXPECT_EQ(p.values().size(), 4u);
    EXPECT_EQ(Get(p, L"url"), L"http://h:8080/a/b.zip");
    EXPECT_EQ(Get(p, L"md5"), L"ABCDEF");
    EXPECT_EQ(Get(p, L"pagecallparam"), L"a b c");
    EXPECT_EQ(Get(p, L"forcedupdate"), L"1");
}

TEST(CmdLine, KeysIgnoreCaseValuesKeepItAndTheFirstOccurrenceWins) {
    CCmdLineParser p(L"-URL=A -url=b");
    EXPECT_EQ(Get(p, L"url"), L"A");
    EXPECT_EQ(Get(p, L"Url"), L"A");
    // Only ASCII letters are lower-cased.
    CCmdLineParser q(L"-\u00C4Bc=1");
    EXPECT_TRUE(Has(q, L"\u00C4bc"));
    EXPECT_EQ(q.values().begin()->first, L"\u00C4bc");
}

TEST(CmdLine, SwitchesWithoutSeparator) {
    CCmdLineParser a(L"-url=x -md5");
    EXPECT_EQ(Get(a, L"url"), L"x");
    EXPECT_TRUE(Has(a, L"md5"));
    EXPECT_EQ(Get(a, L"md5"), L"");

    CCmdLineParser b(L"-md5 -url=x");
    ASSERT_EQ(b.values().size(), 1u);
    EXPECT_EQ(b.values().begin()->first, L"md5 -url");
    EXPECT_EQ(b.values().begin()->second, L"x");
    EXPECT_FALSE(Has(b, L"url"));
    EXPECT_FALSE(Has(b, L"md5"));

    CCmdLineParser c(L"-a -url=x");
    EXPECT_EQ(Get(c, L"a -url"), L"x");
}

TEST(CmdLine, ValuesAndSeparators) {
    EXPECT_TRUE(CCmdLineParser(L"/url=x").values().empty());
    EXPECT_EQ(Get(CCmdLineParser(L"-pagecallparam=a=b"), L"pagecallparam"), L"a=b");
    CCmdLineParser spaceAfter(L"-url= x");
    EXPECT_TRUE(Has(spaceAfter, L"url"));
    EXPECT_EQ(Get(spaceAfter, L"url"), L"");
    EXPECT_EQ(spaceAfter.values().size(), 1u);

    CCmdLineParser atEnd(L"-md5=1 -url=");
    EXPECT_TRUE(Has(atEnd, L"url"));
    EXPECT_EQ(Get(atEnd, L"md5"), L"1");

    // An empty key stores nothing and scanning continues after its value.
    CCmdLineParser emptyKey(L"-=v -url=x");
    EXPECT_EQ(emptyKey.values().size(), 1u);
    EXPECT_EQ(Get(emptyKey, L"url"), L"x");
    EXPECT_TRUE(CCmdLineParser(L"-=").values().empty());
    EXPECT_TRUE(CCmdLineParser(L"-").values().empty());

    // Tabs do not end a value; hyphens inside values start no switch.
    EXPECT_EQ(Get(CCmdLineParser(L"-a=1\t-b=2"), L"a"), L"1\t-b=2");
    CCmdLineParser hy(L"-a=x-b=1 -c=\"-d=2\" -e=3");
    EXPECT_EQ(Get(hy, L"a"), L"x-b=1");
    EXPECT_EQ(Get(hy, L"c"), L"-d=2");
    EXPECT_EQ(Get(hy, L"e"), L"3");
    EXPECT_FALSE(Has(hy, L"b"));
    EXPECT_FALSE(Has(hy, L"d"));
}

TEST(CmdLine, QuotesAndTextBetweenSwitches) {
    EXPECT_EQ(Get(CCmdLineParser(L"-p=\"a b -c=d"), L"p"), L"a b -c=d");   // unterminated
    CCmdLineParser p(L"prog word -a=1 junk here -b=\"x\"tail -c=2");
    EXPECT_EQ(Get(p, L"a"), L"1");
    EXPECT_EQ(Get(p, L"b"), L"x");
    EXPECT_EQ(Get(p, L"c"), L"2");
    EXPECT_EQ(p.values().size(), 3u);
    CCmdLineParser spacedKey(L"-my key=v");
    EXPECT_EQ(Get(spacedKey, L"my key"), L"v");
}

TEST(CmdLine, LargeHostileTextsFinish) {
    std::wstring hyphens(1 << 20, L'-');
    EXPECT_TRUE(CCmdLineParser(hyphens.c_str()).values().size() <= 1u);
    std::wstring pairs;
    for (int i = 0; i < 20000; ++i) pairs += L"-k" + std::to_wstring(i % 100) + L"=v ";
    EXPECT_EQ(CCmdLineParser(pairs.c_str()).values().size(), 100u);
}
