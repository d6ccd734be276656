#include "http/http_header.h"

#include <cstdio>
#include <sstream>
#include <system_error>

#include "app/core/ascii.h"
#include "log/rklog.h"

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// The line's text from position skip, without leading blanks and without a trailing CR.
std::string ValueAt(const std::string& line, std::size_t skip) {
    std::size_t b = skip < line.size() ? skip : line.size();
    while (b < line.size() && IsBlank(line[b])) ++b;
    std::size_t e = line.size();
    if (e > b && line[e - 1] == '\r') --e;
    return line.substr(b, e - b);
}

void ParseContentRange(const std::string& value, ResponseHeader& h) {
    const auto dash = value.find('-');
    h.rangeStart = ParseDecimal32(value.substr(0, dash));
    const auto slash = value.find('/');
    if (slash != std::string::npos) {
        const std::int32_t total = ParseDecimal32(value.substr(slash + 1));
        if (total != 0) h.totalLength = total;
    }
}

void ParseLine(const std::string& line, ResponseHeader& h) {
    static const std::string kType = "Content-Type:";
    static const std::string kLocation = "Location:";
    static const std::string kLength = "Content-Length:";
    static const std::string kModified = "Last-Modified:";
    static const std::string kRange = "Content-Range: bytes";
    // Each name may occur anywhere in the line; the value is still taken from the position
    // of the name's length, counted from the start of the line.
    if (line.find(kType) != std::string::npos) h.contentType = ValueAt(line, kType.size());
    if (line.find(kLocation) != std::string::npos) h.location = ValueAt(line, kLocation.size());
    if (line.find(kLength) != std::string::npos) {
        h.contentLength = ParseDecimal32(ValueAt(line, kLength.size()));
        h.totalLength = h.contentLength;
    }
    if (line.find(kModified) != std::string::npos) h.lastModified = ValueAt(line, kModified.size());
    if (line.find(kRange) != std::string::npos) ParseContentRange(ValueAt(line, kRange.size()), h);
}

// Length of a URI scheme at the start of text ("http" of "http://..."), 0 when there is none.
std::size_t SchemeLength(const std::string& text) {
    const auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (text.empty() || !isAlpha(text[0])) return 0;
    std::size_t i = 1;
    while (i < text.size() && (isAlpha(text[i]) || (text[i] >= '0' && text[i] <= '9') || text[i] == '+' ||
                               text[i] == '-' || text[i] == '.')) {
        ++i;
    }
    return i < text.size() && text[i] == ':' ? i : 0;
}

// http and https, in any letter case (scheme names ignore it).
bool KnownScheme(const std::string& name, UrlScheme& scheme) {
    if (EqualsIgnoreAsciiCase(name, "http")) {
        scheme = UrlScheme::kHttp;
        return true;
    }
    if (EqualsIgnoreAsciiCase(name, "https")) {
        scheme = UrlScheme::kHttps;
        return true;
    }
    return false;
}

// "host/path" (an authority and what follows it) into host and path.
Redirect SplitAuthority(const std::string& target, std::string& host, std::string& path, std::string& reason) {
    const auto slash = target.find('/');
    if (slash == 0 || target.empty()) {
        reason = "redirect target without a host";
        return Redirect::kRefused;
    }
    if (slash == std::string::npos) {
        host = target;
        return Redirect::kWithoutPath;
    }
    host = target.substr(0, slash);
    path = target.substr(slash);
    return Redirect::kTaken;
}
}  // namespace

namespace {
void Say(const std::string& text, rklog::Level level) {
    try {
        LOG_STREAM_FN(level, "HttpSay") << text;
        if (HttpDiagnosticSink sink = settings::httpDiagnosticSink.Get()) {
            sink(text);
            return;
        }
        // One write per line keeps lines of different threads apart.
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    } catch (...) {
        // A diagnostic that cannot be delivered (no memory) is dropped.
    }
}
}  // namespace

void HttpSay(const std::string& text) { Say(text, rklog::kWarn); }
void HttpInform(const std::string& text) { Say(text, rklog::kInfo); }

std::string EscapeControls(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    const auto escape = [&](unsigned char c) {
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 15];
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (IsControl(c)) {
            escape(c);
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {   // C1 control in UTF-8
            escape(c);
            escape(next);
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::int32_t ParseDecimal32(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    std::int64_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > INT32_MAX) return -1;
    }
    return static_cast<std::int32_t>(v);
}

HeaderCollector::State HeaderCollector::Add(const char* data, std::size_t size) {
    // Only the new bytes and the three before them can complete the blank line.
    const std::size_t from = m_text.size() >= 3 ? m_text.size() - 3 : 0;
    m_text.append(data, size);
    const std::size_t pos = m_text.find("\r\n\r\n", from);
    if (pos != std::string::npos) {
        m_headerEnd = pos;
        return kComplete;
    }
    return m_text.size() > kMaxHeaderBytes ? kTooLarge : kMore;
}

std::string BuildRequest(const std::string& path, const std::string& host, std::uint64_t rangeStart) {
    std::string r;
    r.reserve(160 + path.size() + host.size());
    r += "GET " + path + " HTTP/1.1\r\n";
    r += "Host: " + host + "\r\n";
    r += "Accept: */*\r\n";
    r += "Pragma: no-cache\r\n";
    r += "Cache-Control: no-cache\r\n";
    r += "Connection: close\r\n";
    r += "Range: bytes=" + std::to_string(rangeStart) + "- \r\n";
    r += "\r\n";
    return r;
}

void SplitHostPort(const std::string& host, UrlScheme scheme, std::string& name, std::string& port) {
    const auto colon = host.find(':');
    if (colon == std::string::npos) {
        name = host;
        port = DefaultPort(scheme);
    } else {
        name = host.substr(0, colon);
        port = host.substr(colon + 1);
    }
}

bool ParseResponseHeader(ResponseHeader& h, std::string& text, std::size_t headerEnd,
                         const std::filesystem::path& folder) {
    h = ResponseHeader();
    if (headerEnd > text.size()) headerEnd = text.size();
    h.headerText = text.substr(0, headerEnd);

    std::istringstream in(h.headerText);
    in >> h.protocolVersion >> h.statusCode;
    std::string line;
    // The rest of the status line is tested like every other line; an empty line ends the
    // header (a bare "\n\n" inside the text stops the parsing early).
    while (std::getline(in, line)) {
        if (line.empty()) break;
        ParseLine(line, h);
    }

    if (h.protocolVersion.compare(0, 5, "HTTP/") != 0 || h.protocolVersion.size() < 5) {
        HttpSay("Invalid response\n");
        return false;
    }
    if (h.statusCode == 200 || h.statusCode == 206) {
        text.erase(0, headerEnd + 4 <= text.size() ? headerEnd + 4 : text.size());
        return true;
    }
    if (h.statusCode < 300 || h.statusCode > 399) {
        HttpSay("Response returned with status code " + std::to_string(h.statusCode) + "\n");
    }
    if (h.statusCode == 416) {
        std::error_code ignored;
        std::filesystem::remove(folder / "update.td", ignored);
    }
    return false;
}

Redirect ApplyRedirect(const std::string& location, UrlScheme& scheme, std::string& host, std::string& path,
                       std::string& reason) {
    for (char c : location) {
        // A bare CR or LF would end the request line early at some proxies (request splitting).
        if (IsControl(static_cast<unsigned char>(c))) {
            reason = "redirect target with control characters";
            return Redirect::kRefused;
        }
    }
    const std::string target = location.substr(0, location.find('#'));   // fragments stay local
    if (target.empty()) {
        reason = "redirect without a target";
        return Redirect::kRefused;
    }
    if (const std::size_t length = SchemeLength(target)) {
        UrlScheme named = UrlScheme::kHttp;
        if (!KnownScheme(target.substr(0, length), named)) {
            reason = "redirect to an unsupported scheme (only http:// and https:// are supported)";
            return Redirect::kRefused;
        }
        if (target.compare(length, 3, "://") != 0) {
            reason = "redirect target without a host";
            return Redirect::kRefused;
        }
        const Redirect taken = SplitAuthority(target.substr(length + 3), host, path, reason);
        if (taken != Redirect::kRefused) scheme = named;
        return taken;
    }
    if (target.compare(0, 2, "//") == 0) return SplitAuthority(target.substr(2), host, path, reason);
    if (target[0] == '/') {
        path = target;
    } else if (target[0] == '?') {
        path = path.substr(0, path.find('?')) + target;
    } else {
        const std::string current = path.substr(0, path.find('?'));
        const auto folderEnd = current.rfind('/');
        path = (folderEnd == std::string::npos ? std::string("/") : current.substr(0, folderEnd + 1)) + target;
    }
    return Redirect::kTaken;
}
