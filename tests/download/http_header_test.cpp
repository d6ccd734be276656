// Request bytes, response header parsing and acceptance.
#include <gtest/gtest.h>

#include "http/http_header.h"
#include "test_util.h"

using dltest::Diagnostics;

namespace {
// Parses a full response text; returns acceptance, leaves the remaining text in body.
bool Parse(const std::string& response, ResponseHeader& h, std::string& body, const std::string& folder = "/nonexistent-zpv/") {
    body = response;
    const auto end = body.find("\r\n\r\n");
    return ParseResponseHeader(h, body, end, folder);
}
}  // namespace

TEST(HttpRequest, ExactBytesWithBlankAfterTheOpenRange) {
    EXPECT_EQ(BuildRequest("/a/b.zip", "h:8080", 0),
              "GET /a/b.zip HTTP/1.1\r\nHost: h:8080\r\nAccept: */*\r\nPragma: no-cache\r\n"
              "Cache-Control: no-cache\r\nConnection: close\r\nRange: bytes=0- \r\n\r\n");
    // 64-bit start, decimal without padding; path and host sent as they are.
    EXPECT_NE(BuildRequest("/x y", "h", 5000000000ull).find("GET /x y HTTP/1.1\r\nHost: h\r\n"), std::string::npos);
    EXPECT_NE(BuildRequest("/p", "h", 5000000000ull).find("\r\nRange: bytes=5000000000- \r\n\r\n"), std::string::npos);
}

TEST(HttpRequest, PortAndRedirectsFollowTheScheme) {
    std::string name, port;
    SplitHostPort("h", UrlScheme::kHttp, name, port);
    EXPECT_EQ(name + " " + port, "h 80");
    SplitHostPort("h", UrlScheme::kHttps, name, port);
    EXPECT_EQ(name + " " + port, "h 443");
    SplitHostPort("h:8443", UrlScheme::kHttps, name, port);
    EXPECT_EQ(name + " " + port, "h 8443");

    const struct {
        const char* location;
        UrlScheme from, to;
        Redirect outcome;
        const char* hostPath;
    } cases[] = {
        {"https://a:1/x", UrlScheme::kHttp, UrlScheme::kHttps, Redirect::kTaken, "a:1 /x"},
        {"HTTPS://a/x", UrlScheme::kHttp, UrlScheme::kHttps, Redirect::kTaken, "a /x"},
        {"http://a/x", UrlScheme::kHttps, UrlScheme::kHttp, Redirect::kTaken, "a /x"},
        {"//b/y", UrlScheme::kHttps, UrlScheme::kHttps, Redirect::kTaken, "b /y"},
        {"/z", UrlScheme::kHttps, UrlScheme::kHttps, Redirect::kTaken, "h:1 /z"},
        {"https://c", UrlScheme::kHttp, UrlScheme::kHttps, Redirect::kWithoutPath, "c /p"},
        {"ftp://a/x", UrlScheme::kHttps, UrlScheme::kHttps, Redirect::kRefused, "h:1 /p"},
        {"https:/a/x", UrlScheme::kHttp, UrlScheme::kHttp, Redirect::kRefused, "h:1 /p"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.location);
        UrlScheme scheme = c.from;
        std::string host = "h:1", path = "/p", reason;
        EXPECT_TRUE(ApplyRedirect(c.location, scheme, host, path, reason) == c.outcome);
        EXPECT_TRUE(scheme == c.to);
        EXPECT_EQ(host + " " + path, c.hostPath);
    }
}

TEST(HttpHeader, AcceptedResponseKeepsOnlyTheBody) {
    Diagnostics d;
    ResponseHeader h;
    std::string body;
    ASSERT_TRUE(Parse("HTTP/1.1 206 Partial Content\r\nContent-Type: application/zip\r\n"
                      "Last-Modified:   Mon, 01 Jan 2024\r\nContent-Length: 10\r\n"
                      "Content-Range: bytes 5-14/15\r\nLocation: /else\r\n\r\nBODY\r\n\r\nmore",
                      h, body));
    EXPECT_EQ(body, "BODY\r\n\r\nmore");
    EXPECT_EQ(h.protocolVersion, "HTTP/1.1");
    EXPECT_EQ(h.statusCode, 206u);
    EXPECT_EQ(h.contentType, "application/zip");
    EXPECT_EQ(h.lastModified, "Mon, 01 Jan 2024");
    EXPECT_EQ(h.location, "/else");
    EXPECT_EQ(h.contentLength, 10);
    EXPECT_EQ(h.totalLength, 15);
    EXPECT_EQ(h.rangeStart, 5);
    EXPECT_EQ(h.headerText.find("HTTP/1.1 206"), 0u);
    EXPECT_EQ(h.headerText.size(), h.headerText.find("Location: /else") + 15);
    EXPECT_EQ(Diagnostics::Text(), "");

    ASSERT_TRUE(Parse("HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\n", h, body));   // only "HTTP/" matters
    EXPECT_EQ(body, "");
    EXPECT_EQ(h.totalLength, 3);
}

TEST(HttpHeader, LengthRules) {
    Diagnostics d;
    ResponseHeader h;
    std::string body;
    // A Content-Range total replaces a small Content-Length; "*" or 0 does not.
    ASSERT_TRUE(Parse("HTTP/1.1 206 P\r\nContent-Length: 1\r\nContent-Range: bytes 0-0/12345\r\n\r\nx", h, body));
    EXPECT_EQ(h.contentLength, 1);
    EXPECT_EQ(h.totalLength, 12345);
    ASSERT_TRUE(Parse("HTTP/1.1 206 P\r\nContent-Length: 1\r\nContent-Range: bytes 0-0/*\r\n\r\nx", h, body));
    EXPECT_EQ(h.totalLength, 1);
    // The name matches anywhere in the line, the value is still read at the name's length.
    ASSERT_TRUE(Parse("HTTP/1.1 200 OK\r\nX-Content-Length: 5\r\n\r\n", h, body));
    EXPECT_EQ(h.contentLength, 0);
    EXPECT_EQ(h.totalLength, 0);
    // 206 without any length: 0, which the probe treats as failure.
    ASSERT_TRUE(Parse("HTTP/1.1 206 P\r\nContent-Type: x\r\n\r\n", h, body));
    EXPECT_EQ(h.totalLength, 0);
    // Lengths beyond 32 bits are marked invalid instead of wrapping.
    ASSERT_TRUE(Parse("HTTP/1.1 200 OK\r\nContent-Length: 4294967396\r\n\r\n", h, body));
    EXPECT_LT(h.totalLength, 0);
    EXPECT_EQ(ParseDecimal32("  42abc"), 42);
    EXPECT_EQ(ParseDecimal32("-5"), 0);
    EXPECT_EQ(ParseDecimal32("2147483647"), 2147483647);
    EXPECT_EQ(ParseDecimal32("2147483648"), -1);
}

TEST(HttpHeader, RejectionsAndTheirMessages) {
    Diagnostics d;
    ResponseHeader h;
    std::string body;
    const std::string icy = "ICY 200 OK\r\nContent-Length: 3\r\n\r\nabc";
    EXPECT_FALSE(Parse(icy, h, body));
    EXPECT_EQ(body, icy);   // left as it was
    EXPECT_EQ(Diagnostics::Text(), "Invalid response\n");
    Diagnostics::Clear();
    EXPECT_FALSE(Parse("HTTP/1.1 404 Not Found\r\n\r\n", h, body));
    EXPECT_EQ(Diagnostics::Text(), "Response returned with status code 404\n");
    Diagnostics::Clear();
    EXPECT_FALSE(Parse("HTTP/1.1 302 Found\r\nLocation: http://h:1/p\r\n\r\n", h, body));
    EXPECT_EQ(h.location, "http://h:1/p");
    EXPECT_EQ(Diagnostics::Text(), "");   // a redirect is the caller's to follow or report
    Diagnostics::Clear();
    EXPECT_FALSE(Parse("HTTP/1.1 abc\r\n\r\n", h, body));
    EXPECT_EQ(Diagnostics::Text(), "Response returned with status code 0\n");
}

class HttpHeader416 : public dltest::DownloadFixture {};

TEST_F(HttpHeader416, Status416DeletesTheJoinedFileOfTheFolder) {
    zpvtest::WriteFile(File("update.td"), "old");
    zpvtest::WriteFile(File("update.td0"), "part");
    ResponseHeader h;
    std::string body;
    EXPECT_FALSE(Parse("HTTP/1.1 416 Requested Range Not Satisfiable\r\n\r\n", h, body, Folder()));
    EXPECT_FALSE(Exists("update.td"));
    EXPECT_TRUE(Exists("update.td0"));
    EXPECT_TRUE(Diagnostics::Has("status code 416\n"));
}
