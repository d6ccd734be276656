// Download tasks: the retrying download of the update package on a worker thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "app/core/zipconf.h"
#include "download/http_download.h"
#include "download/thread_base.h"

class Downloader : public ThreadBase {
public:
    static constexpr std::uint32_t kMaxAttempts = 10;
    // Redirects in a row that are followed without counting; one more counts as a failed
    // attempt, so a redirect loop ends in failure.
    static constexpr std::uint32_t kMaxRedirects = 10;

    // folder: where the part files and "update.zip" go, with its trailing separator.
    Downloader(const std::string& md5, const std::string& host, const std::string& path,
               bool stopClientFirst, const std::wstring& folder);
    ~Downloader() override;

    // Called on the worker thread: after each counted failed attempt with its index (0..9),
    // and once after the last one. Assign before Start; either may stay empty.
    std::function<void(std::uint32_t)> m_onRetry;
    std::function<void()> m_onFailed;

    // Progress copy, consistent with the transfer threads.
    DownloadInfo GetInfo() const;
    // Set once an attempt succeeded: "update.zip" is in place and verified. Never reset.
    bool Succeeded() const { return m_succeeded.load(); }
    // Result of the latest attempt (0 before the first one ends).
    int LastResult() const { return m_lastResult.load(); }

    // Installs the package (on the UI thread, once Succeeded()).
    virtual void DoInstall() = 0;

    // From any thread: ends the running attempt promptly (its part files stay for the next
    // run) and makes Run return without further callbacks.
    void RequestStop() override;
    bool StopRequested() const { return m_stop.load(); }
    // A pause for retry handlers that ends early on a stop request; true when stopped.
    bool SleepUnlessStopped(std::uint32_t ms);

    // Host and path of the package, including redirects taken; read them once the job ended.
    const std::string& Host() const { return m_host; }
    const std::string& Path() const { return m_path; }
    const std::wstring& Folder() const { return m_folder; }

protected:
    void Run() override;

    std::string m_md5;
    std::string m_host;
    std::string m_path;
    std::atomic<bool> m_succeeded{false};
    bool m_stopClientFirst;
    DownloadInfo m_info;
    std::shared_ptr<CHttpDownload> m_transfer;
    std::wstring m_folder;

private:
    std::atomic<int> m_lastResult{0};
    std::atomic<bool> m_stop{false};
    std::mutex m_stopMutex;
    std::condition_variable m_stopSignal;
};

// The installation of a verified package. The program hands it in: installing needs its
// windows, which live above the download engine.
using InstallAction = std::function<void(const ZipConf&)>;

class ZipDownloader : public Downloader {
public:
    // folder: the program's folder with its trailing separator (GetModuleDir()).
    ZipDownloader(const ZipConf& package, const std::wstring& folder, InstallAction install = nullptr);
    ~ZipDownloader() override;

    const ZipConf& Package() const { return m_package; }
    // Runs the installation action with the package copy; nothing when none was handed in.
    void DoInstall() override;

private:
    ZipConf m_package;
    InstallAction m_install;
};
