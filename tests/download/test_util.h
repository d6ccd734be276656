// Fixtures of the download tests: a private folder, captured diagnostics and short time limits.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include "app/core/textconv.h"
#include "download/http_download.h"
#include "download/md5.h"
#include "download/timings.h"
#include "http/http_header.h"
#include "tests/support/no_install_task.h"
#include "tests/support/support.h"

namespace dltest {

// One attempt from an http:// address; a redirect may still change the scheme.
inline int PlainDownload(CHttpDownload& transfer, std::string& host, std::string& path, DownloadInfo* info,
                         const std::filesystem::path& folder) {
    UrlScheme scheme = UrlScheme::kHttp;
    return transfer.Download(scheme, host, path, info, folder);
}

// Diagnostic lines of the HTTP code, captured instead of going to standard output.
class Diagnostics {
public:
    Diagnostics() { Clear(); }
    static std::string Text() {
        std::lock_guard<std::mutex> lock(Mutex());
        return Store();
    }
    static void Clear() {
        std::lock_guard<std::mutex> lock(Mutex());
        Store().clear();
    }
    static bool Has(const std::string& part) { return Text().find(part) != std::string::npos; }

private:
    static std::mutex& Mutex() { static std::mutex m; return m; }
    static std::string& Store() { static std::string s; return s; }
    static void Capture(const std::string& text) {
        std::lock_guard<std::mutex> lock(Mutex());
        Store() += text;
    }
    Setting<HttpDiagnosticSink>::Override m_sink{settings::httpDiagnosticSink, &Capture};
};

// Download time limits for the length of a scope: the fixture's, or a test's own on top.
using TimingsOverride = Setting<DownloadTimings>::Override;

// A path as the wide text the tasks take.
inline std::wstring WidePath(const std::filesystem::path& p) {
#ifdef _WIN32
    return p.wstring();
#else
    return ToWide(p.string());
#endif
}

// The bytes in a folder's four part files (update.td0 .. update.td3).
inline std::uint64_t PartBytes(const std::string& folder) {
    std::uint64_t sum = 0;
    for (int k = 0; k < 4; ++k) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(folder + "update.td" + std::to_string(k), ec);
        if (!ec) sum += size;
    }
    return sum;
}

// Each test works in a fresh folder of its own, with short time limits and captured output.
class DownloadFixture : public ::testing::Test {
protected:
    void SetUp() override {
        m_temp = std::make_unique<zpvtest::TempDir>("dl");
        m_dir = m_temp->Path();
        DownloadTimings t;
        t.firstChunkChecks = 5;
        t.firstChunkCheckMs = 40;
        t.stallMs = 300;
        t.ioTimeoutMs = 1000;
        t.connectTimeoutMs = 1000;
        t.headerTimeoutMs = 2000;
        m_timings.emplace(settings::downloadTimings, t);
    }
    void TearDown() override {
        m_timings.reset();
        m_temp.reset();
    }
    std::string Folder() const { return m_dir.string() + static_cast<char>(std::filesystem::path::preferred_separator); }
    std::wstring WFolder() const { return m_dir.wstring() + static_cast<wchar_t>(std::filesystem::path::preferred_separator); }
    std::filesystem::path File(const std::string& name) const { return m_dir / name; }
    bool Exists(const std::string& name) const { return std::filesystem::exists(m_dir / name); }
    std::unique_ptr<zpvtest::TempDir> m_temp;
    std::filesystem::path m_dir;
    std::optional<TimingsOverride> m_timings;
    Diagnostics m_diagnostics;
    zpvtest::LogCapture m_log;
};

// One download attempt at a time; scheme, host, path and info stay as the attempt left them
// (a redirect changes them), for the test to inspect.
class AttemptFixture : public DownloadFixture {
protected:
    int RunAttempt(UrlScheme scheme, const std::string& host, const std::string& path, const std::string& md5) {
        m_scheme = scheme;
        m_host = host;
        m_path = path;
        m_info = DownloadInfo();
        m_info.md5 = md5;
        const auto t0 = std::chrono::steady_clock::now();
        const int r = m_transfer.Download(m_scheme, m_host, m_path, &m_info, Folder());
        m_elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        return r;
    }

    CHttpDownload m_transfer;
    UrlScheme m_scheme = UrlScheme::kHttp;
    std::string m_host, m_path;
    DownloadInfo m_info;
    long long m_elapsedMs = 0;
};

// Packages published in the folder nginx serves (ZPV_WWW, set by tools/services.sh), under a
// name of the running test, removed after it.
class NginxFixture : public AttemptFixture {
protected:
    void SetUp() override {
        AttemptFixture::SetUp();
        m_www = zpvtest::Env("ZPV_WWW");
        ASSERT_FALSE(m_www.empty()) << "ZPV_WWW is not set: start nginx first with `. tools/services.sh start`";
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_name = "zpv-dl-" + std::string(info->test_suite_name()) + "-" + std::to_string(zpvtest::Pid()) + "-" + info->name() +
                 ".zip";
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove(std::filesystem::path(m_www) / m_name, ec);
        AttemptFixture::TearDown();
    }
    // Publishes a package; returns its digest.
    std::string Publish(const std::string& body) {
        zpvtest::WriteFile(std::filesystem::path(m_www) / m_name, body);
        return MD5Hex(body.data(), body.size());
    }

    std::string m_www, m_name;
};

#ifndef _WIN32
// Starts the fetch tool with the arguments; its standard output goes to outputFile (or
// nowhere). The process id, or -1.
inline pid_t SpawnFetch(const std::vector<std::string>& args, const std::string& outputFile = "/dev/null") {
    std::vector<std::string> all = {ZPV_ZPVFETCH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, all[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// Waits (up to 20 s) until all four part files in folder hold data and stopped growing; their
// sizes go to parts.
inline void WaitForStillPartFiles(const std::string& folder, std::uint64_t (&parts)[4]) {
    std::uint64_t last = 0;
    int stable = 0;
    for (int i = 0; i < 2000 && stable < 20; ++i) {
        usleep(10000);
        std::uint64_t sum = 0;
        bool all = true;
        for (int k = 0; k < 4; ++k) {
            std::error_code ec;
            const auto size = std::filesystem::file_size(folder + "update.td" + std::to_string(k), ec);
            parts[k] = ec ? 0 : size;
            all = all && parts[k] > 0;
            sum += parts[k];
        }
        stable = (all && sum == last) ? stable + 1 : 0;
        last = sum;
    }
}

// Exit status of a child, or minus the signal that ended it.
inline int WaitExit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1000;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// Runs the fetch tool with args until its four part files in folder hold data and stopped
// growing (a relay holds its connections part way), kills it, and checks that each part holds
// part of its range of a package of size bytes. Where each range resumes, in range order.
inline std::vector<std::uint64_t> FetchKilledPartWay(const std::vector<std::string>& args, const std::string& folder,
                                                     std::uint32_t size) {
    const pid_t pid = SpawnFetch(args);
    if (pid <= 0) {
        ADD_FAILURE() << "the fetch tool did not start";
        return {};
    }
    std::uint64_t parts[4] = {};
    WaitForStillPartFiles(folder, parts);
    kill(pid, SIGKILL);
    EXPECT_EQ(WaitExit(pid), -SIGKILL);
    std::vector<std::uint64_t> resume;
    for (int k = 0; k < 4; ++k) {
        std::uint32_t start = 0, end = 0;
        SegmentRange(size, k, start, end);
        parts[k] = CHttpDownload::GetFileSize(folder + "update.td" + std::to_string(k));
        EXPECT_GT(parts[k], 0u) << k;
        EXPECT_LT(parts[k], end - start) << k;   // killed in mid-transfer
        resume.push_back(start + parts[k]);
    }
    return resume;
}
#endif

}  // namespace dltest
