#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/core/zipconf.h"
#include "log/rklog.h"
#include "tests/support/support.h"

namespace {
const std::wstring kDir = L"D:\\P\\V\\U\\";
}  // namespace

TEST(ZipConf, WorkedExampleAndItsLogLines) {
    zpvtest::LogCapture log;
    ZipConf c = parseZipConf(L"-url=http://H:8080/a/b.zip -md5=ABC -pagecallparam=\"x y\" -forcedupdate=1", kDir);
    EXPECT_EQ(c.zipPath, L"D:\\P\\V\\U\\update.zip");
    EXPECT_EQ(c.clientExePath, L"D:\\P\\V\\ZPVLaunch.exe");
    EXPECT_EQ(c.clientDic, L"D:\\P\\");
    EXPECT_EQ(c.host, "H:8080");
    EXPECT_EQ(c.urlPath, "/a/b.zip");
    EXPECT_EQ(c.zipMd5, "ABC");   // case kept
    EXPECT_EQ(c.pageCallParam, "x y");
    EXPECT_EQ(c.forcedUpdate, 1);
    EXPECT_TRUE(c.launchClient);

    ASSERT_EQ(log.Pieces().size(), 4u);
    auto body = [](const std::string& line) { return line.substr(line.find("] ") + 2); };
    EXPECT_EQ(log.Pieces()[0].rfind("[ZPV][T][", 0), 0u);
    EXPECT_EQ(body(log.Pieces()[0]), "zipPath: D:\\P\\V\\U\\update.zip\n");
    EXPECT_EQ(body(log.Pieces()[1]), "zipMd5: ABC\n");
    EXPECT_EQ(body(log.Pieces()[2]), "clientDic: \"D:\\P\\\"\n");
    EXPECT_EQ(body(log.Pieces()[3]), "clientExePath: \"D:\\P\\V\\ZPVLaunch.exe\"\n");
}

TEST(ZipConf, NoKeysLeavesOnlyDerivedFields) {
    ZipConf c = parseZipConf(L"", kDir);
    EXPECT_EQ(c.host, "");
    EXPECT_EQ(c.urlPath, "");
    EXPECT_EQ(c.zipMd5, "");
    EXPECT_EQ(c.pageCallParam, "");
    EXPECT_EQ(c.forcedUpdate, 0);
    EXPECT_TRUE(c.scheme == UrlScheme::kHttp);
    EXPECT_TRUE(c.launchClient);
    EXPECT_EQ(c.zipPath, kDir + L"update.zip");
}

TEST(ZipConf, UrlForms) {
    auto hostPath = [](const wchar_t* url) {
        ZipConf c = parseZipConf((std::wstring(L"-url=") + url).c_str(), kDir);
        return (c.scheme == UrlScheme::kHttps ? "tls " : "") + c.host + "|" + c.urlPath;
    };
    EXPECT_EQ(hostPath(L"h/a/b.zip"), "h|/a/b.zip");
    EXPECT_EQ(hostPath(L"http://h/a/b.zip"), "h|/a/b.zip");
    EXPECT_EQ(hostPath(L"http://H"), "|H");
    EXPECT_EQ(hostPath(L"HTTP://h/a"), "HTTP:|//h/a");
    EXPECT_EQ(hostPath(L"http://https://h/a"), "https:|//h/a");
    // TLS only for the exact lower-case prefix; host and path split as for http://.
    EXPECT_EQ(hostPath(L"https://h:8443/a/b.zip"), "tls h:8443|/a/b.zip");
    EXPECT_EQ(hostPath(L"https://H"), "tls |H");
    EXPECT_EQ(hostPath(L"HTTPS://h/a"), "HTTPS:|//h/a");
    EXPECT_EQ(hostPath(L"https:/h/a"), "https:|/h/a");
}

TEST(ZipConf, HttpsUrlKeepsTheFourLogLines) {
    zpvtest::LogCapture log;
    ZipConf c = parseZipConf(L"-url=https://H/a/b.zip -md5=abc", kDir);
    EXPECT_EQ(c.host, "H");
    EXPECT_EQ(c.urlPath, "/a/b.zip");
    ASSERT_EQ(log.Pieces().size(), 4u);
    EXPECT_NE(log.Pieces()[0].find("] zipPath: "), std::string::npos);
    EXPECT_NE(log.Pieces()[3].find("] clientExePath: "), std::string::npos);
}

TEST(ZipConf, ForcedUpdateValues) {
    auto forced = [](const wchar_t* v) {
        return parseZipConf((std::wstring(L"-forcedupdate=") + v).c_str(), kDir).forcedUpdate;
    };
    EXPECT_EQ(forced(L"1"), 1);
    EXPECT_EQ(forced(L"01"), 1);
    EXPECT_EQ(forced(L"+1"), 1);
    EXPECT_EQ(forced(L"2"), 2);
    EXPECT_EQ(forced(L"yes"), 0);
    EXPECT_EQ(forced(L""), 0);
    EXPECT_EQ(forced(L"-3x"), -3);
    EXPECT_EQ(forced(L"99999999999"), 2147483647);
}

TEST(ZipConf, ShallowFoldersAndQuotedLogValues) {
    ZipConf c = parseZipConf(L"", L"C:\\U\\");
    EXPECT_EQ(c.clientExePath, L"C:\\ZPVLaunch.exe");
    EXPECT_EQ(c.clientDic, L"");
    ZipConf none = parseZipConf(L"", L"");
    EXPECT_EQ(none.zipPath, L"update.zip");
    EXPECT_EQ(none.clientExePath, L"ZPVLaunch.exe");

    EXPECT_EQ(QuoteForLog("A&B"), "\"A&&B\"");
    EXPECT_EQ(QuoteForLog("a\"b"), "\"a&\"b\"");
    zpvtest::LogCapture log;
    parseZipConf(L"", L"D:\\A&B\\V\\U\\");
    ASSERT_EQ(log.Pieces().size(), 4u);
    EXPECT_NE(log.Pieces()[2].find("clientDic: \"D:\\A&&B\\\""), std::string::npos);
}

// Support's log file: the command line's key before the environment's value, relative paths from
// the program's folder; the key changes nothing else of the description.
TEST(ZipConf, LogFileFromTheCommandLineOrTheEnvironment) {
    const struct {
        const wchar_t* cmdLine;
        const wchar_t* env;
        const wchar_t* expected;
    } cases[] = {
        {L"-url=http://h/u.zip -md5=A", L"", L""},
        {L"-url=http://h/u.zip -logfile=\"C:\\Support Logs\\zpv.log\" -md5=A", L"E:\\env.log", L"C:\\Support Logs\\zpv.log"},
        {L"-url=http://h/u.zip -md5=A", L"E:\\env.log", L"E:\\env.log"},
        {L"-LogFile=update.log -url=http://h/u.zip", L"", L"D:\\P\\V\\U\\update.log"},
        {L"-url=http://h/u.zip -logfile=\\\\server\\share\\zpv.log", L"", L"\\\\server\\share\\zpv.log"},
        {L"-url=http://h/u.zip -logfile= -md5=A", L"E:\\env.log", L"E:\\env.log"},   // an empty value asks for nothing
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LogFileOf(c.cmdLine, c.env, kDir), c.expected) << c.cmdLine;
        const ZipConf conf = parseZipConf(c.cmdLine, kDir);
        EXPECT_EQ(conf.host, "h") << c.cmdLine;
        if (std::wstring(c.cmdLine).find(L"-md5=A") != std::wstring::npos) {
            EXPECT_EQ(conf.zipMd5, "A") << c.cmdLine;
        }
    }
}
