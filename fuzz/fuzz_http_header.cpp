// Any byte stream from a server, arriving in any split, must be collected and parsed without
// crash or hang, the same way whatever the split, and acceptance must leave exactly the body.
// A redirect target taken from it never puts control characters or a fragment into the next
// request, and a refused one changes nothing.
#include <cstdint>
#include <string>

#include "http/http_header.h"

namespace {
void Quiet(const std::string&) {}
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size - 1 > kMaxHeaderBytes) return 0;
    static const Setting<HttpDiagnosticSink>::Override quiet(settings::httpDiagnosticSink, &Quiet);
    const std::uint8_t step = data[0];
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const std::size_t n = size - 1;

    HeaderCollector whole;
    const auto wholeState = whole.Add(bytes, n);
    // The same bytes in pieces of 1 to 8 bytes, varying with the first input byte.
    HeaderCollector pieces;
    auto state = HeaderCollector::kMore;
    std::size_t pos = 0;
    for (unsigned k = 0; pos < n && state == HeaderCollector::kMore; ++k) {
        const std::size_t len = std::min<std::size_t>(n - pos, 1 + ((step >> (k % 8)) & 7));
        state = pieces.Add(bytes + pos, len);
        pos += len;
    }
    if (wholeState == HeaderCollector::kComplete) {
        if (state != HeaderCollector::kComplete || pieces.HeaderEnd() != whole.HeaderEnd()) __builtin_trap();
        std::string text = whole.Text();
        const std::string before = text;
        ResponseHeader header;
        const bool accepted = ParseResponseHeader(header, text, whole.HeaderEnd(), "/nonexistent-zpv-fuzz/");
        if (accepted && text != before.substr(whole.HeaderEnd() + 4)) __builtin_trap();
        if (!accepted && text != before) __builtin_trap();
        if (accepted && header.statusCode != 200 && header.statusCode != 206) __builtin_trap();
        if (header.totalLength < -1 || header.contentLength < -1) __builtin_trap();
        std::string host = "h", path = "/p/q", reason;
        UrlScheme scheme = UrlScheme::kHttps;
        const Redirect outcome = ApplyRedirect(header.location, scheme, host, path, reason);
        if (outcome == Redirect::kRefused &&
            (host != "h" || path != "/p/q" || scheme != UrlScheme::kHttps || reason.empty())) {
            __builtin_trap();
        }
        if (outcome == Redirect::kTaken && (path.empty() || path[0] != '/' || host.empty())) __builtin_trap();
        const std::string request = BuildRequest(path, host, static_cast<std::uint64_t>(header.rangeStart));
        // The request's own line ends are the only control characters in it.
        for (std::size_t i = 0; i < request.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(request[i]);
            if ((c < 0x20 && c != '\r' && c != '\n') || c == 0x7F) __builtin_trap();
            if (c == '\r' && (i + 1 >= request.size() || request[i + 1] != '\n')) __builtin_trap();
            if (c == '\n' && (i == 0 || request[i - 1] != '\r')) __builtin_trap();
        }
        if (request.substr(0, request.find(" HTTP/1.1")).find('#') != std::string::npos) __builtin_trap();
        const std::string shown = EscapeControls(header.location);
        for (char c : shown) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) __builtin_trap();
        }
    } else if (state == HeaderCollector::kComplete) {
        __builtin_trap();
    }
    return 0;
}
