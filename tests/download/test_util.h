// Shared helpers of the download tests: a private folder, package bytes, captured diagnostics
// and short time limits.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <process.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include "app/core/textconv.h"
#include "download/http_download.h"
#include "http/http_header.h"
#include "download/md5.h"
#include "download/timings.h"
#include "log/rklog.h"

namespace dltest {

inline std::string MakePackage(std::size_t size, std::uint32_t seed = 1) {
    std::string s(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& c : s) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

inline std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::filesystem::path& p, const std::string& data) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// One attempt from an http:// address; a redirect may still change the scheme.
inline int PlainDownload(CHttpDownload& transfer, std::string& host, std::string& path, DownloadInfo* info,
                         const std::filesystem::path& folder) {
    UrlScheme scheme = UrlScheme::kHttp;
    return transfer.Download(scheme, host, path, info, folder);
}

// Text handed to a sink of the code under test, kept for the test to read (one store per Tag).
template <class Tag>
class CapturedText {
public:
    static std::string Text() {
        std::lock_guard<std::mutex> lock(Mutex());
        return Store();
    }
    static void Clear() {
        std::lock_guard<std::mutex> lock(Mutex());
        Store().clear();
    }
    static bool Has(const std::string& part) { return Text().find(part) != std::string::npos; }

protected:
    static void Append(const std::string& text) {
        std::lock_guard<std::mutex> lock(Mutex());
        Store() += text;
    }

private:
    static std::mutex& Mutex() { static std::mutex m; return m; }
    static std::string& Store() { static std::string s; return s; }
};

// Diagnostic lines of the HTTP code, captured instead of going to standard output.
class Diagnostics : public CapturedText<Diagnostics> {
public:
    Diagnostics() {
        SetHttpDiagnosticSink([](const std::string& text) { Append(text); });
        Clear();
    }
    ~Diagnostics() { SetHttpDiagnosticSink(nullptr); }
};

// Lines delivered to the debugger output by the process logger, captured.
class LogCapture : public CapturedText<LogCapture> {
public:
    LogCapture() {
        Clear();
        rklog::SetDebugOutput([](const char* text) { Append(text); });
    }
    ~LogCapture() { rklog::SetDebugOutput(nullptr); }
    // True when a line of that level letter ('W', 'E', ...) contains part.
    static bool HasLine(char level, const std::string& part) {
        const std::string text = Text();
        const std::string head = std::string("[ZPV][") + level + "][";
        for (std::size_t b = 0; b < text.size();) {
            std::size_t e = text.find('\n', b);
            if (e == std::string::npos) e = text.size();
            const std::string line = text.substr(b, e - b);
            if (line.rfind(head, 0) == 0 && line.find(part) != std::string::npos) return true;
            b = e + 1;
        }
        return false;
    }
};

// A path as the wide text the tasks take.
inline std::wstring WidePath(const std::filesystem::path& p) {
#ifdef _WIN32
    return p.wstring();
#else
    return ToWide(p.string());
#endif
}

// Each test works in a fresh folder of its own, with short time limits and captured output.
// Polls cond until it holds (true) or ms have passed (false): a test waits for what it needs,
// never a fixed time that is too short on a loaded machine and too long on an idle one.
template <class Condition>
bool WaitUntil(Condition cond, std::uint32_t ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
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

class DownloadFixture : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_dir = std::filesystem::temp_directory_path() /
               ("zpv-dl-" + std::string(info->test_suite_name()) + "-" + info->name() + "-" +
                std::to_string(Pid()));
        std::filesystem::remove_all(m_dir);
        std::filesystem::create_directories(m_dir);
        m_saved = GetDownloadTimings();
        DownloadTimings t;
        t.firstChunkChecks = 5;
        t.firstChunkCheckMs = 40;
        t.stallMs = 300;
        t.ioTimeoutMs = 1000;
        t.connectTimeoutMs = 1000;
        t.headerTimeoutMs = 2000;
        SetDownloadTimings(t);
    }
    void TearDown() override {
        SetDownloadTimings(m_saved);
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    std::string Folder() const { return m_dir.string() + static_cast<char>(std::filesystem::path::preferred_separator); }
    std::wstring WFolder() const { return m_dir.wstring() + static_cast<wchar_t>(std::filesystem::path::preferred_separator); }
    std::filesystem::path File(const std::string& name) const { return m_dir / name; }
    bool Exists(const std::string& name) const { return std::filesystem::exists(m_dir / name); }
    static long Pid() {
#ifdef _WIN32
        return static_cast<long>(_getpid());
#else
        return static_cast<long>(getpid());
#endif
    }

    std::filesystem::path m_dir;
    DownloadTimings m_saved;
    Diagnostics m_diagnostics;
    LogCapture m_log;
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
        const char* www = std::getenv("ZPV_WWW");
        ASSERT_TRUE(www && *www) << "ZPV_WWW is not set: start nginx first with `. tools/services.sh start`";
        m_www = www;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_name = "zpv-dl-" + std::string(info->test_suite_name()) + "-" + std::to_string(Pid()) + "-" + info->name() +
                 ".zip";
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove(std::filesystem::path(m_www) / m_name, ec);
        AttemptFixture::TearDown();
    }
    // Publishes a package; returns its digest.
    std::string Publish(const std::string& body) {
        WriteFile(std::filesystem::path(m_www) / m_name, body);
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
#endif

}  // namespace dltest
