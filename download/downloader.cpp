#include "download/downloader.h"

#include <chrono>
#include <cstdio>

#include "app/core/process_op.h"
#include "app/core/textconv.h"

Downloader::Downloader(const std::string& md5, const std::string& host, const std::string& path,
                       bool stopClientFirst, const std::wstring& folder)
    : m_md5(md5),
      m_host(host),
      m_path(path),
      m_stopClientFirst(stopClientFirst),
      m_transfer(std::make_shared<CHttpDownload>()),
      m_folder(folder) {
    m_info.md5 = m_md5;
}

Downloader::~Downloader() {
    StopAndWait();
}

DownloadInfo Downloader::GetInfo() const { return m_transfer->Snapshot(m_info); }

void Downloader::RequestStop() {
    m_stop.store(true);
    m_transfer->RequestStop();
    std::lock_guard<std::mutex> lock(m_stopMutex);
    m_stopSignal.notify_all();
}

bool Downloader::SleepUnlessStopped(std::uint32_t ms) {
    std::unique_lock<std::mutex> lock(m_stopMutex);
    return m_stopSignal.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stop.load(); });
}

void Downloader::Run() {
    if (m_stop.load()) return;   // stopped before the thread got going: touch nothing
    const std::string folder = ToNarrowPath(m_folder);
    std::remove((folder + "update.zip").c_str());
    if (m_stopClientFirst) KillClientAndWait();

    std::uint32_t failed = 0;
    std::uint32_t redirects = 0;
    while (!m_stop.load()) {
        const int result = m_transfer->Download(m_host, m_path, &m_info, folder);
        m_lastResult.store(result);
        if (m_stop.load()) return;   // the owner is going away: no more callbacks
        if (result >= 0) {
            m_succeeded.store(true);
            return;
        }
        if (result == kRedirected && ++redirects <= kMaxRedirects) continue;
        redirects = 0;
        if (m_onRetry) m_onRetry(failed);
        if (++failed >= kMaxAttempts) break;
    }
    if (!m_stop.load() && m_onFailed) m_onFailed();
}
