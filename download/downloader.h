// Download tasks: the retrying download of the update package on a worker thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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

    // folder: where the part files and "update.zip" go, with its trailing separator; scheme:
    // how host is reached at first (a redirect may change it).
    Downloader(const std::string& md5, const std::string& host, const std::string& path,
               bool stopClientFirst, const std::wstring& folder, UrlScheme scheme = UrlScheme::kHttp);
    // Asks the job to stop and returns at once; the worker ends within a second on its own.
    ~Downloader() override;

    // Called on the worker thread: after each counted failed attempt with its index (0..9),
    // and once after the last one, or after an exception ended the download. Assign before
    // Start (the job takes copies); either may stay empty. None is called once a stop was
    // requested; one that had begun must return before what it uses goes (WaitDone).
    std::function<void(std::uint32_t)> m_onRetry;
    std::function<void()> m_onFailed;

    // Progress copy, consistent with the transfer threads.
    DownloadInfo GetInfo() const;
    // Set once an attempt succeeded: "update.zip" is in place and verified. Never reset.
    bool Succeeded() const;
    // Result of the latest attempt (0 before the first one ends).
    int LastResult() const;
    // Why the latest attempt failed, for the owner's messages ("download failed (<text>)"):
    // cause kNone before the first attempt ended and after a success; kStopped after a stop
    // request; kResponse when redirects went round in a loop. The text is one line with the
    // server's or the system's reason, control characters escaped. From any thread.
    AttemptFailure LastFailure() const;

    // Installs the package (on the UI thread, once Succeeded()).
    virtual void DoInstall() = 0;

    // From any thread: ends the running attempt promptly (its part files stay for the next
    // run) and makes the job return without further callbacks.
    void RequestStop() override;
    bool StopRequested() const;
    // A pause for retry handlers that ends early on a stop request; true when stopped.
    bool SleepUnlessStopped(std::uint32_t ms);

    // Scheme, host and path of the package, including redirects taken; read them once the job
    // ended.
    UrlScheme Scheme() const;
    const std::string& Host() const;
    const std::string& Path() const;
    const std::wstring& Folder() const;

protected:
    std::function<void()> Job() override;

private:
    // Everything the download uses, shared by the task and its worker thread, so that the task
    // can go while the worker is still ending.
    class State;
    std::shared_ptr<State> m_state;
};

// The installation of a verified package. The program hands it in: installing needs its
// windows, which live above the download engine.
using InstallAction = std::function<void(const ZipConf&)>;

class ZipDownloader : public Downloader {
public:
    // folder: the program's folder with its trailing separator (GetModuleDir()).
    ZipDownloader(const ZipConf& package, const std::wstring& folder, InstallAction install = nullptr);

    const ZipConf& Package() const { return m_package; }
    // Runs the installation action with the package copy; nothing when none was handed in.
    void DoInstall() override;

private:
    ZipConf m_package;
    InstallAction m_install;
};
