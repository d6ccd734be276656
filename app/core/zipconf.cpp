#include "app/core/zipconf.h"

#include <cwchar>

#include "app/core/cmdline.h"
#include "app/core/textconv.h"
#include "log/rklog.h"

namespace {
// Text up to (not including) its last backslash; empty when there is none.
std::wstring CutAtLastBackslash(const std::wstring& t) {
    const auto pos = t.rfind(L'\\');
    return pos == std::wstring::npos ? std::wstring() : t.substr(0, pos);
}
// Text up to and including its last backslash; empty when there is none.
std::wstring UpToLastBackslash(const std::wstring& t) {
    const auto pos = t.rfind(L'\\');
    return pos == std::wstring::npos ? std::wstring() : t.substr(0, pos + 1);
}

std::int32_t ToInt(const std::wstring& s) {
    // The standard wide-to-integer conversion: blanks, sign, digits; 0 otherwise.
    // Out-of-range values saturate, as the 32-bit conversion does on Windows.
    long long v = std::wcstoll(s.c_str(), nullptr, 10);
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    return static_cast<std::int32_t>(v);
}

const char kParseFn[] = "`anonymous-namespace'::parseZipConf";
}  // namespace

std::string QuoteForLog(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '&') out += '&';
        out += c;
    }
    out += '"';
    return out;
}

std::wstring LogFileOf(const wchar_t* cmdLine, const std::wstring& envValue, const std::wstring& moduleDir) {
    // An unknown key is stored like any other and the package description never reads it, so
    // clients that do not pass this one see no change.
    std::wstring path = CCmdLineParser(cmdLine).GetValue(L"logfile");
    if (path.empty()) path = envValue;
    if (path.empty()) return path;
    const bool absolute = path[0] == L'\\' || path[0] == L'/' || (path.size() > 1 && path[1] == L':');
    return absolute ? path : moduleDir + path;
}

ZipConf parseZipConf(const wchar_t* cmdLine, const std::wstring& moduleDir) {
    CCmdLineParser parser(cmdLine);
    const std::wstring url = parser.GetValue(L"url");
    const std::wstring md5 = parser.GetValue(L"md5");
    const std::wstring param = parser.GetValue(L"pagecallparam");
    const std::wstring forced = parser.GetValue(L"forcedupdate");

    ZipConf conf;
    conf.zipPath = moduleDir + L"update.zip";
    conf.zipMd5 = ToNarrow(md5);
    conf.pageCallParam = ToNarrow(param);
    conf.launchClient = true;

    std::wstring t = CutAtLastBackslash(moduleDir);
    const std::wstring parent = UpToLastBackslash(t);
    t = CutAtLastBackslash(t);
    conf.clientDic = UpToLastBackslash(t);
    conf.clientExePath = parent + L"ZPVLaunch.exe";

    std::wstring u = url;
    if (u.compare(0, 7, L"http://") == 0) {
        u.erase(0, 7);
    } else if (u.compare(0, 8, L"https://") == 0) {
        u.erase(0, 8);
        conf.scheme = UrlScheme::kHttps;
    }
    const auto slash = u.find(L'/');
    if (slash == std::wstring::npos) {
        conf.host.clear();
        conf.urlPath = ToNarrow(u);
    } else {
        conf.host = ToNarrow(u.substr(0, slash));
        conf.urlPath = ToNarrow(u.substr(slash));
    }
    conf.forcedUpdate = ToInt(forced);

    LOG_STREAM_FN(rklog::kTrace, kParseFn) << "zipPath: " << ToNarrowPath(conf.zipPath);
    LOG_STREAM_FN(rklog::kTrace, kParseFn) << "zipMd5: " << conf.zipMd5;
    LOG_STREAM_FN(rklog::kTrace, kParseFn) << "clientDic: " << QuoteForLog(ToNarrowPath(conf.clientDic));
    LOG_STREAM_FN(rklog::kTrace, kParseFn) << "clientExePath: " << QuoteForLog(ToNarrowPath(conf.clientExePath));
    return conf;
}

#ifdef _WIN32
#include "app/core/process_op.h"
ZipConf parseZipConf(const wchar_t* cmdLine) { return parseZipConf(cmdLine, GetModuleDir()); }
#endif
