#include "download/http_header.h"

#include <atomic>
#include <cstdio>
#include <sstream>

namespace {
std::atomic<HttpDiagnosticSink> g_sink{nullptr};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

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
}  // namespace

void SetHttpDiagnosticSink(HttpDiagnosticSink sink) { g_sink.store(sink); }

void HttpSay(const std::string& text) {
    if (HttpDiagnosticSink sink = g_sink.load()) {
        sink(text);
        return;
    }
    // One write per line keeps lines of different threads apart.
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
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
    const std::size_t from = text_.size() >= 3 ? text_.size() - 3 : 0;
    text_.append(data, size);
    const std::size_t pos = text_.find("\r\n\r\n", from);
    if (pos != std::string::npos) {
        headerEnd_ = pos;
        return kComplete;
    }
    return text_.size() > kMaxHeaderBytes ? kTooLarge : kMore;
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

void SplitHostPort(const std::string& host, std::string& name, std::string& port) {
    const auto colon = host.find(':');
    if (colon == std::string::npos) {
        name = host;
        port = "80";
    } else {
        name = host.substr(0, colon);
        port = host.substr(colon + 1);
    }
}

bool ParseResponseHeader(ResponseHeader& h, std::string& text, std::size_t headerEnd,
                         const std::string& folder) {
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
    HttpSay("Response returned with status code " + std::to_string(h.statusCode) + "\n");
    if (h.statusCode == 416) std::remove((folder + "update.td").c_str());
    return false;
}

bool ApplyRedirect(const std::string& location, std::string& host, std::string& path) {
    std::string target = location;
    const auto scheme = target.find("http://");
    if (scheme != std::string::npos) target.erase(0, scheme + 7);
    const auto slash = target.find('/');
    if (slash == std::string::npos) {
        host = target;
        return false;
    }
    host = target.substr(0, slash);
    path = target.substr(slash);
    return true;
}
