// The HTTP/1.1 text the download writes and reads: request bytes, the response header record,
// its parsing and acceptance, the host/port split, redirect targets and the diagnostics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "app/core/setting.h"
#include "app/core/url_scheme.h"

struct ResponseHeader {
    std::string protocolVersion;
    std::uint32_t statusCode = 0;
    std::string headerText;        // everything before the first "\r\n\r\n"
    std::string contentType;
    std::string lastModified;
    std::string location;
    std::int32_t contentLength = 0;
    std::int32_t totalLength = 0;  // Content-Length, replaced by a non-zero Content-Range total
    std::int32_t rangeStart = 0;
};

// Longest response header accepted; a server that sends more without the blank line fails
// the request instead of growing the buffer without bound.
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

// Collects the bytes of a response until the end of its header.
class HeaderCollector {
public:
    enum State { kMore, kComplete, kTooLarge };
    // Appends received bytes; kComplete once "\r\n\r\n" has arrived (body bytes that came
    // along stay in Text()), kTooLarge when more than kMaxHeaderBytes arrived without it.
    State Add(const char* data, std::size_t size);
    std::string& Text() { return m_text; }
    std::size_t HeaderEnd() const { return m_headerEnd; }

private:
    std::string m_text;
    std::size_t m_headerEnd = 0;
};

// Request bytes for a GET of path with an open-ended range from rangeStart.
std::string BuildRequest(const std::string& path, const std::string& host, std::uint64_t rangeStart);

// "name:port" -> name and port text; no colon -> the whole text and the scheme's default port
// ("80", or "443" for https).
void SplitHostPort(const std::string& host, UrlScheme scheme, std::string& name, std::string& port);

// Fills header from text[0, headerEnd) where headerEnd is the position of the first
// "\r\n\r\n". Accepted (200 or 206 from an "HTTP/" status line): removes the header and the
// blank line from text and returns true. Rejected: writes the reason to the diagnostics (except
// for a redirect, 300 to 399, which the caller follows or reports), and for status 416 deletes
// folder / "update.td"; text stays as it was.
bool ParseResponseHeader(ResponseHeader& header, std::string& text, std::size_t headerEnd,
                         const std::filesystem::path& folder);

enum class Redirect {
    kTaken,          // host and path replaced by the target
    kWithoutPath,    // an http:// target without "/": host replaced by it, path kept
    kRefused,        // unusable target (reason given): host and path untouched
};
// Applies a redirect target to scheme, host and path. An http:// or https:// target (scheme in
// any case) replaces all three; "//host/path" replaces host and path; "/path" the path; any
// other relative target is taken against the folder of the current path. Control characters,
// other schemes and targets without a host are refused, with the reason in reason. A fragment
// is never sent.
Redirect ApplyRedirect(const std::string& location, UrlScheme& scheme, std::string& host, std::string& path,
                       std::string& reason);

// Decimal value: leading blanks skipped, digits up to the first other character, 0 if none.
// A value beyond the 32-bit signed range gives -1, which every caller treats as invalid.
std::int32_t ParseDecimal32(const std::string& text);

// Server text made safe to print or log: control characters (C0, DEL and UTF-8 encoded C1)
// become "\xHH", so that no terminal or log line obeys them.
std::string EscapeControls(const std::string& text);

// Where the HTTP code's diagnostic lines go: standard output unless a test or a tool replaced
// it. Every line is logged at WARN as well, with the same text. Never throws.
using HttpDiagnosticSink = void (*)(const std::string& text);
namespace settings {
inline Setting<HttpDiagnosticSink> httpDiagnosticSink;   // nullptr: standard output
}  // namespace settings
void HttpSay(const std::string& text);
// The same for news that is no fault (a redirect followed): logged at INFO.
void HttpInform(const std::string& text);
