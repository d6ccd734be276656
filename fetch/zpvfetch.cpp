// zpvfetch: runs one package download task, as the updater does, and says how it went.
// `zpvfetch --help` lists the options and the exit statuses.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/core/textconv.h"
#include "app/core/zipconf.h"
#include "download/downloader.h"
#include "http/http_header.h"
#include "http/transport.h"

#ifdef _WIN32
#include <io.h>
#define ZPV_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#define ZPV_ISATTY(fd) isatty(fd)
#endif

namespace {
#ifdef _WIN32
const wchar_t kSeparator = L'\\';
#else
const wchar_t kSeparator = L'/';
#endif

// Diagnostics may quote the server (a redirect target): its control characters are shown
// escaped, so that the terminal does not obey them. The line end is the tool's own.
void PrintDiagnostic(const std::string& text) {
    const bool lineEnd = !text.empty() && text.back() == '\n';
    const std::string shown = EscapeControls(lineEnd ? text.substr(0, text.size() - 1) : text) + (lineEnd ? "\n" : "");
    std::fwrite(shown.data(), 1, shown.size(), stdout);
    std::fflush(stdout);
}

bool IsHexDigest(const std::string& s) {
    if (s.size() != 32) return false;
    for (char c : s) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) return false;
    }
    return true;
}

// Exit statuses: one per cause of a failed download, so that scripts can tell them apart.
enum Exit {
    kExitOk = 0,
    kExitOther = 1,
    kExitUsage = 2,
    kExitNameLookup = 3,
    kExitConnect = 4,
    kExitCertificate = 5,
    kExitHttpStatus = 6,
    kExitResponse = 7,
    kExitTransfer = 8,
    kExitLength = 9,
    kExitDigest = 10,
    kExitLocalWrite = 11,
    kExitStopped = 12,
};

int ExitFor(AttemptCause cause) {
    switch (cause) {
        case AttemptCause::kNameLookup: return kExitNameLookup;
        case AttemptCause::kConnect: return kExitConnect;
        case AttemptCause::kCertificate: return kExitCertificate;
        case AttemptCause::kHttpStatus: return kExitHttpStatus;
        case AttemptCause::kResponse: return kExitResponse;
        case AttemptCause::kTransfer: return kExitTransfer;
        case AttemptCause::kLength: return kExitLength;
        case AttemptCause::kDigest: return kExitDigest;
        case AttemptCause::kLocalWrite: return kExitLocalWrite;
        case AttemptCause::kStopped: return kExitStopped;
        case AttemptCause::kNone:
        case AttemptCause::kOther: break;
    }
    return kExitOther;
}

#ifdef _WIN32
const char kCaFileHelp[] = "";
#else
const char kCaFileHelp[] =
    "  -cafile=PEM       trust the roots in this PEM file for https:// instead of the system's\n";
#endif

const char kHelp[] =
    "usage: zpvfetch -url=http[s]://HOST[:PORT]/PATH -md5=HEX32 [options]\n"
    "Downloads the package as the updater does (four byte ranges, resumed across runs, length\n"
    "and MD5 checked, up to 10 attempts) into FOLDER/update.zip.\n"
    "options (each -name=value; --name=value works too):\n"
    "  -url=URL          the package: http:// or https:// (required)\n"
    "  -md5=HEX32        its expected MD5 digest, 32 hexadecimal digits (required)\n"
    "  -dir=FOLDER       where update.zip and the part files go (default: the current folder;\n"
    "                    created when missing)\n"
    "  -retrypause=MS    pause between attempts in milliseconds, 0 to 3600000 (default 2000)\n"
    "  -quiet=0|1        1: no progress lines (default 0)\n"
    "%s"
    "  --help            this text\n"
    "exit status: 0 update.zip in place and verified, 1 other failure, 2 wrong command line,\n"
    "  3 name lookup, 4 connect (TCP or TLS session), 5 certificate refused, 6 HTTP status,\n"
    "  7 bad response (not HTTP, unusable redirect, too many redirects), 8 transfer broke off\n"
    "  (server silent, reset, stalled, too slow), 9 length (none, or the file's differs),\n"
    "  10 MD5 digest differs, 11 local file write, 12 stopped (interrupt or terminate signal;\n"
    "  the part files stay for the next run). Failures give the status of the last attempt.\n";

int Usage(const std::string& why) {
    std::fprintf(stderr, "zpvfetch: %s\n(zpvfetch --help lists the options)\n", EscapeControls(why).c_str());
    return kExitUsage;
}

// The CA file for https natively; on Windows the system's trusted roots are the only ones.
bool TakeCaFile(const std::string& path) {
#ifdef _WIN32
    (void)path;
    return false;
#else
    return std::ifstream(path).is_open();
#endif
}

// The tool's own task: the package task of the updater, built from the package description
// the same way, without an installation step (the tool never installs).
class FetchTask : public Downloader {
public:
    FetchTask(const ZipConf& package, const std::wstring& folder)
        : Downloader(package.zipMd5, package.host, package.urlPath, false, folder, package.scheme) {}
    void DoInstall() override {}
};

struct Options {
    std::string url, md5, caFile;
    std::wstring dir;
    std::uint32_t pauseMs = 2000;
    bool quiet = false;
    bool help = false;
};

// A decimal number within [0, max]; false for anything else.
bool ParseNumber(const std::string& text, std::uint32_t max, std::uint32_t& value) {
    if (text.empty() || text.size() > 10) return false;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > max) return false;
    value = static_cast<std::uint32_t>(v);
    return true;
}

// Every argument is one -name=value (or --name=value); anything else is refused. Empty: fine.
std::string ParseOptions(const std::vector<std::wstring>& args, Options& o) {
    std::vector<std::string> seen;
    for (const std::wstring& wideArg : args) {
        const std::string arg = ToNarrow(wideArg);
        if (arg == "--help" || arg == "-help" || arg == "-h" || arg == "/?") {
            o.help = true;
            continue;
        }
        if (arg.size() < 2 || arg[0] != '-') return "unexpected argument '" + arg + "' (options are -name=value)";
        const std::size_t nameStart = arg[1] == '-' ? 2 : 1;
        const std::size_t eq = arg.find('=');
        const std::string name = arg.substr(nameStart, eq == std::string::npos ? std::string::npos : eq - nameStart);
        const bool known = name == "url" || name == "md5" || name == "dir" || name == "retrypause" || name == "quiet" ||
                           name == "cafile";
        if (!known) return "unknown option '" + arg + "'";
        if (eq == std::string::npos || eq + 1 == arg.size()) return "option -" + name + "= needs a value";
        for (const std::string& other : seen) {
            if (other == name) return "option -" + name + "= given twice";
        }
        seen.push_back(name);
        const std::string value = arg.substr(eq + 1);
        if (name == "url") o.url = value;
        if (name == "md5") o.md5 = value;
        if (name == "dir") o.dir = wideArg.substr(wideArg.find(L'=') + 1);   // paths keep every character
        if (name == "cafile") o.caFile = value;
        if (name == "retrypause" && !ParseNumber(value, 3600000, o.pauseMs)) {
            return "-retrypause= must be a number of milliseconds from 0 to 3600000, not '" + value + "'";
        }
        if (name == "quiet") {
            if (value != "0" && value != "1") return "-quiet= must be 0 or 1, not '" + value + "'";
            o.quiet = value == "1";
        }
    }
    if (o.help) return std::string();
    if (o.url.empty()) return "missing -url=";
    if (o.md5.empty()) return "missing -md5=";
    return std::string();
}

// Only http:// and https:// in lower case, as the updater takes them; every other scheme is
// refused before anything is sent.
std::string CheckUrl(const std::string& url) {
    for (char c : url) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F || c == '"') return "-url= must not hold blanks, quotes or control characters";
    }
    if (url.compare(0, 7, "http://") != 0 && url.compare(0, 8, "https://") != 0) {
        const std::size_t sep = url.find("://");
        const std::string scheme = sep == std::string::npos ? url : url.substr(0, sep);
        return "-url= must start with http:// or https:// (lower case), not '" + scheme + "'";
    }
    return std::string();
}

std::atomic<int> g_signal{0};
void OnSignal(int sig) { g_signal.store(sig); }

int Fetch(const std::vector<std::wstring>& args) {
    Options o;
    const std::string wrong = ParseOptions(args, o);
    if (o.help) {
        std::printf(kHelp, kCaFileHelp);
        return kExitOk;
    }
    if (!wrong.empty()) return Usage(wrong);
    const std::string badUrl = CheckUrl(o.url);
    if (!badUrl.empty()) return Usage(badUrl);
    if (!IsHexDigest(o.md5)) return Usage("-md5= must be 32 hexadecimal digits");
    if (!o.caFile.empty() && !TakeCaFile(o.caFile)) {
#ifdef _WIN32
        return Usage("-cafile= is not available on Windows: the system's trusted roots are used");
#else
        return Usage("-cafile= names no readable file");
#endif
    }
    const Setting<std::string>::Override caFileSetting(settings::tlsCaFile, o.caFile);

    std::wstring dir = o.dir.empty() ? std::wstring(L".") : o.dir;
    if (dir.back() != L'/' && dir.back() != L'\\') dir += kSeparator;
    const ZipConf conf = parseZipConf((L"-url=\"" + ToWide(o.url) + L"\" -md5=" + ToWide(o.md5)).c_str(), dir);
    if (conf.host.empty()) return Usage("-url= needs a host and a path (http[s]://HOST[:PORT]/PATH)");
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(dir), ec);
    if (ec) {
        std::printf("failed (local file write): cannot create %s: %s\n", EscapeControls(ToNarrowPath(dir)).c_str(),
                    ec.message().c_str());
        return kExitLocalWrite;
    }
    const bool tty = ZPV_ISATTY(1) != 0;

    const Setting<HttpDiagnosticSink>::Override sink(settings::httpDiagnosticSink, &PrintDiagnostic);
    FetchTask task(conf, dir);
    std::atomic<std::uint32_t> retries{0};
    task.m_onRetry = [&](std::uint32_t n) {
        retries.store(n + 1);
        const AttemptFailure why = task.LastFailure();
        std::printf("\nattempt %u of %u failed (%s): %s\n", n + 1, Downloader::kMaxAttempts, AttemptCauseName(why.cause),
                    why.text.c_str());
        std::fflush(stdout);
        if (n + 1 < Downloader::kMaxAttempts) task.SleepUnlessStopped(o.pauseMs);
    };
    task.m_onFailed = [] {};

    std::printf("fetching %s%s%s into %s\n", SchemePrefix(conf.scheme), EscapeControls(conf.host).c_str(),
                EscapeControls(conf.urlPath).c_str(),
                EscapeControls(ToNarrowPath(dir)).c_str());
    std::fflush(stdout);
    // A stop request keeps the part files for the next run, as the updater does when it ends.
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    task.Start();
    int lastPercent = -1;
    auto lastShown = std::chrono::steady_clock::now();
    for (;;) {
        const bool done = task.WaitDone(100);
        if (!done && g_signal.load() != 0 && !task.StopRequested()) task.RequestStop();
        const auto now = std::chrono::steady_clock::now();
        if (!o.quiet && (done || now - lastShown >= std::chrono::milliseconds(tty ? 200 : 1000))) {
            lastShown = now;
            const DownloadInfo info = task.GetInfo();
            int percent = info.totalBytes > 0 ? static_cast<int>(info.downloadedBytes * 100 / info.totalBytes) : 0;
            if (percent > 100) percent = 100;
            if (tty || percent != lastPercent || done) {
                std::printf(tty ? "\r%3d%%  %lld of %lld bytes  retries: %u " : "%3d%%  %lld of %lld bytes  retries: %u\n",
                            percent, static_cast<long long>(info.downloadedBytes),
                            static_cast<long long>(info.totalBytes), retries.load());
                std::fflush(stdout);
                lastPercent = percent;
            }
        }
        if (done) break;
    }
    if (tty && !o.quiet) std::printf("\n");
    if (task.Succeeded()) {
        std::printf("ok: %s is in place and matches the MD5 digest\n", EscapeControls(ToNarrowPath(conf.zipPath)).c_str());
        return kExitOk;
    }
    AttemptFailure why = task.LastFailure();
    if (task.StopRequested()) why = {AttemptCause::kStopped, "stopped; the part files stay for the next run"};
    std::printf("failed (%s): %s\n", AttemptCauseName(why.cause), why.text.c_str());
    return ExitFor(why.cause);
}
}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    return Fetch(std::vector<std::wstring>(argv + 1, argv + argc));
}
#else
int main(int argc, char** argv) {
#ifdef __GLIBC__
    // The download threads allocate little and rarely; one heap instead of one per thread
    // keeps the tool's memory within its bound (the TLS sessions' allocations otherwise leave
    // free space stranded in five heaps).
    mallopt(M_ARENA_MAX, 1);
#endif
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) args.push_back(ToWide(argv[i]));
    return Fetch(args);
}
#endif
