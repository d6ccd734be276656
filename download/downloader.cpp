#include "download/downloader.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>

#include "app/core/process_op.h"
#include "download/file_io.h"
#include "log/rklog.h"

namespace {
const char kRunFn[] = "Downloader::Run";
}

class Downloader::State {
public:
    State(const std::string& md5, const std::string& host, const std::string& path, bool stopClientFirst,
          const std::wstring& folder, UrlScheme scheme)
        : m_md5(md5), m_host(host), m_path(path), m_stopClientFirst(stopClientFirst), m_folder(folder),
          m_scheme(scheme) {
        m_info.md5 = m_md5;
    }

    // The download with retries, on the worker thread.
    void Run();
    void RequestStop() {
        m_stop.store(true);
        m_transfer->RequestStop();
        std::lock_guard<std::mutex> lock(m_stopMutex);
        m_stopSignal.notify_all();
    }
    bool SleepUnlessStopped(std::uint32_t ms) {
        std::unique_lock<std::mutex> lock(m_stopMutex);
        return m_stopSignal.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stop.load(); });
    }

    std::string m_md5;
    std::string m_host;
    std::string m_path;
    std::atomic<bool> m_succeeded{false};
    bool m_stopClientFirst;
    DownloadInfo m_info;
    std::shared_ptr<CHttpDownload> m_transfer = std::make_shared<CHttpDownload>();
    std::wstring m_folder;
    UrlScheme m_scheme;
    std::function<void(std::uint32_t)> m_onRetry;   // copies taken at Start
    std::function<void()> m_onFailed;
    std::atomic<int> m_lastResult{0};
    mutable std::mutex m_failureMutex;
    AttemptFailure m_lastFailure;   // under m_failureMutex
    std::atomic<bool> m_stop{false};

    void SetLastFailure(const AttemptFailure& failure) {
        std::lock_guard<std::mutex> lock(m_failureMutex);
        m_lastFailure = failure;
    }
    AttemptFailure LastFailure() const {
        std::lock_guard<std::mutex> lock(m_failureMutex);
        return m_lastFailure;
    }

private:
    enum class Outcome { kSucceeded, kStopped, kFailed };
    Outcome RunAttempts();
    void ReportFailure();

    std::mutex m_stopMutex;
    std::condition_variable m_stopSignal;
};

Downloader::State::Outcome Downloader::State::RunAttempts() {
    const std::filesystem::path folder = FolderPath(m_folder);
    RemoveFile(folder / "update.zip");
    if (m_stopClientFirst) KillClientAndWait();

    std::uint32_t failed = 0;
    std::uint32_t redirects = 0;
    while (!m_stop.load()) {
        const int result = m_transfer->Download(m_scheme, m_host, m_path, &m_info, folder);
        m_lastResult.store(result);
        SetLastFailure(m_transfer->LastFailure());
        if (m_stop.load()) return Outcome::kStopped;   // the owner is going away: no more callbacks
        if (result >= 0) {
            m_succeeded.store(true);
            return Outcome::kSucceeded;
        }
        if (result == kRedirected && ++redirects <= kMaxRedirects) continue;
        if (result == kRedirected) SetLastFailure({AttemptCause::kResponse, "too many redirects in a row"});
        redirects = 0;
        // The HTTP diagnostics of the attempt are in the log already; this says how it ended.
        LOG_STREAM_FN(rklog::kWarn, kRunFn) << "attempt " << (failed + 1) << " of " << kMaxAttempts
                                            << " failed (" << result << "): " << DownloadResultText(result) << " ("
                                            << AttemptCauseName(LastFailure().cause) << ": " << LastFailure().text << ")";
        if (m_onRetry) m_onRetry(failed);
        if (++failed >= kMaxAttempts) return Outcome::kFailed;
    }
    return Outcome::kStopped;
}

// The final failure: the user is told through the failure callback.
void Downloader::State::ReportFailure() {
    if (m_stop.load() || !m_onFailed) return;
    try {
        m_onFailed();
    } catch (const std::exception& e) {
        LOG_STREAM_FN(rklog::kError, kRunFn) << "the failure callback ended with an exception: " << e.what();
    } catch (...) {
        LOG_STREAM_FN(rklog::kError, kRunFn) << "the failure callback ended with an unknown exception";
    }
}

void Downloader::State::Run() {
    if (m_stop.load()) return;   // stopped before the thread got going: touch nothing
    Outcome outcome = Outcome::kFailed;
    try {
        outcome = RunAttempts();
    } catch (const std::exception& e) {
        // Out of memory, a callback that throws: the download cannot go on, and the user must
        // not be left with a bar that never moves.
        LOG_STREAM_FN(rklog::kError, kRunFn) << "the download ended with an exception: " << e.what();
    } catch (...) {
        LOG_STREAM_FN(rklog::kError, kRunFn) << "the download ended with an unknown exception";
    }
    if (outcome == Outcome::kFailed) ReportFailure();
}

Downloader::Downloader(const std::string& md5, const std::string& host, const std::string& path,
                       bool stopClientFirst, const std::wstring& folder, UrlScheme scheme)
    : m_state(std::make_shared<State>(md5, host, path, stopClientFirst, folder, scheme)) {}

Downloader::~Downloader() { RequestStop(); }

std::function<void()> Downloader::Job() {
    m_state->m_onRetry = m_onRetry;
    m_state->m_onFailed = m_onFailed;
    return [state = m_state] { state->Run(); };
}

DownloadInfo Downloader::GetInfo() const { return m_state->m_transfer->Snapshot(m_state->m_info); }
bool Downloader::Succeeded() const { return m_state->m_succeeded.load(); }
int Downloader::LastResult() const { return m_state->m_lastResult.load(); }
AttemptFailure Downloader::LastFailure() const { return m_state->LastFailure(); }
void Downloader::RequestStop() { m_state->RequestStop(); }
bool Downloader::StopRequested() const { return m_state->m_stop.load(); }
bool Downloader::SleepUnlessStopped(std::uint32_t ms) { return m_state->SleepUnlessStopped(ms); }
UrlScheme Downloader::Scheme() const { return m_state->m_scheme; }
const std::string& Downloader::Host() const { return m_state->m_host; }
const std::string& Downloader::Path() const { return m_state->m_path; }
const std::wstring& Downloader::Folder() const { return m_state->m_folder; }

ZipDownloader::ZipDownloader(const ZipConf& package, const std::wstring& folder, InstallAction install)
    : Downloader(package.zipMd5, package.host, package.urlPath, package.forcedUpdate != 0, folder, package.scheme),
      m_package(package),
      m_install(std::move(install)) {}

void ZipDownloader::DoInstall() {
    if (m_install) m_install(m_package);
}
