// zpvfetch: runs one package download task, as the updater does, and says how it went.
//   zpvfetch -url=http[s]://HOST[:PORT]/PATH -md5=HEX32 [-dir=FOLDER] [-retrypause=MS] [-quiet=1]
//            [-cafile=PEM]   (native builds: trusted roots for https instead of the system's)
// Exit status 0 when FOLDER/update.zip is in place and verified, 1 when the download failed,
// 2 for a wrong command line.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/core/cmdline.h"
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

#ifdef _WIN32
const char kCaFileUsage[] = "";
#else
const char kCaFileUsage[] = " [-cafile=PEM]";
#endif

int Usage(const char* why) {
    std::fprintf(stderr,
                 "zpvfetch: %s\nusage: zpvfetch -url=http[s]://HOST[:PORT]/PATH -md5=HEX32 [-dir=FOLDER]"
                 " [-retrypause=MS] [-quiet=1]%s\n",
                 why, kCaFileUsage);
    return 2;
}

// The CA file for https natively (path stays empty for the system's roots); on Windows the
// system's trusted roots are the only ones.
bool TakeCaFile(const std::wstring& caFile, std::string& path) {
    if (caFile.empty()) return true;
#ifdef _WIN32
    (void)path;
    return false;
#else
    path = ToNarrowPath(caFile);
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

int Fetch(const std::wstring& commandText) {
    CCmdLineParser args(commandText.c_str());
    std::wstring dir = args.GetValue(L"dir");
    if (dir.empty()) dir = std::wstring(L".") + kSeparator;
    if (dir.back() != L'/' && dir.back() != L'\\') dir += kSeparator;

    ZipConf conf = parseZipConf(commandText.c_str(), dir);
    conf.forcedUpdate = 0;   // a check tool never stops a running client
    if (args.GetValue(L"url").empty()) return Usage("missing -url=");
    if (conf.host.empty()) return Usage("-url= needs a host and a path (http[s]://HOST[:PORT]/PATH)");
    if (!IsHexDigest(conf.zipMd5)) return Usage("-md5= must be 32 hexadecimal digits");
    std::string caFile;
#ifdef _WIN32
    if (!TakeCaFile(args.GetValue(L"cafile"), caFile)) return Usage("-cafile= is not available on Windows: the system's trusted roots are used");
#else
    if (!TakeCaFile(args.GetValue(L"cafile"), caFile)) return Usage("-cafile= names no readable file");
#endif
    const Setting<std::string>::Override caFileSetting(settings::tlsCaFile, caFile);
    const std::wstring pauseText = args.GetValue(L"retrypause");
    const std::uint32_t pauseMs = pauseText.empty() ? 2000u : static_cast<std::uint32_t>(std::wcstoul(pauseText.c_str(), nullptr, 10));
    const bool quiet = !args.GetValue(L"quiet").empty();
    const bool tty = ZPV_ISATTY(1) != 0;

    const Setting<HttpDiagnosticSink>::Override sink(settings::httpDiagnosticSink, &PrintDiagnostic);
    FetchTask task(conf, dir);
    std::atomic<std::uint32_t> retries{0};
    task.m_onRetry = [&](std::uint32_t n) {
        retries.store(n + 1);
        std::printf("\nattempt %u of %u failed: %s\n", n + 1, Downloader::kMaxAttempts, DownloadResultText(task.LastResult()));
        std::fflush(stdout);
        task.SleepUnlessStopped(pauseMs);
    };
    task.m_onFailed = [] {};

    std::printf("fetching %s%s%s into %s\n", SchemePrefix(conf.scheme), EscapeControls(conf.host).c_str(),
                EscapeControls(conf.urlPath).c_str(),
                EscapeControls(ToNarrowPath(dir)).c_str());
    std::fflush(stdout);
    task.Start();
    int lastPercent = -1;
    for (;;) {
        const bool done = task.WaitDone(tty ? 200 : 1000);
        if (!quiet) {
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
    if (tty && !quiet) std::printf("\n");
    if (task.Succeeded()) {
        std::printf("ok: %s is in place and matches the MD5 digest\n", EscapeControls(ToNarrowPath(conf.zipPath)).c_str());
        return 0;
    }
    std::printf("failed after %u attempts: %s\n", Downloader::kMaxAttempts, DownloadResultText(task.LastResult()));
    return 1;
}

std::wstring QuoteArgument(const std::wstring& arg) {
    // "-key=value with blanks" becomes -key="value with blanks" for the switch parser.
    const auto eq = arg.find(L'=');
    if (arg.find(L' ') == std::wstring::npos || eq == std::wstring::npos) return arg;
    return arg.substr(0, eq + 1) + L'"' + arg.substr(eq + 1) + L'"';
}
}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    std::wstring text;
    for (int i = 1; i < argc; ++i) text += (i > 1 ? L" " : L"") + QuoteArgument(argv[i]);
    return Fetch(text);
}
#else
int main(int argc, char** argv) {
#ifdef __GLIBC__
    // The download threads allocate little and rarely; one heap instead of one per thread
    // keeps the tool's memory within its bound (the TLS sessions' allocations otherwise leave
    // free space stranded in five heaps).
    mallopt(M_ARENA_MAX, 1);
#endif
    std::wstring text;
    for (int i = 1; i < argc; ++i) text += (i > 1 ? L" " : L"") + QuoteArgument(ToWide(argv[i]));
    return Fetch(text);
}
#endif
