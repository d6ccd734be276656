// The small progress window of the update run: owns the download task, polls its progress
// once a second, shows retries, and installs (forced) or offers installation (optional).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "app/core/zipconf.h"
#include "download/downloader.h"
#include "ui/zpv_wnd_base.h"

class CUpdaterWnd : public CZpvWndBase {
public:
    static constexpr UINT_PTR kProgressTimerId = 1121;
    static constexpr UINT kProgressTimerPeriod = 1000;
    static constexpr int kRetryWindowWidth = 360;
    static constexpr DWORD kRetryPause = 2000;
    static constexpr DWORD kForcedInstallDelay = 1000;

    CUpdaterWnd();
    // Stops the download (its threads end promptly) before the window goes.
    ~CUpdaterWnd() override;

    // Copies the description, starts the download task and the progress timer. install is
    // what the task's DoInstall runs once the package is ready.
    void StartDownload(const ZipConf& package, InstallAction install);

    // How the download ended, read by the run once the message loop is over: whether the
    // verified package is in place, and, after the final failure, the cause of the last attempt
    // (empty otherwise).
    bool PackageReady() const { return m_task && m_task->Succeeded(); }
    const std::string& DownloadFailure() const { return m_downloadFailure; }

protected:
    std::wstring WindowClassName() const override { return L"zpv_updater_wnd_class_name"; }
    std::wstring SkinSource() const override { return SkinId(142); }
    void OnSkinBuilt() override;
    void OnNotification(SkinUI::NotifyRecord& record) override;
    LRESULT ProcessMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    bool Forced() const { return m_package.forcedUpdate != 0; }
    void UpdateProgress(std::int64_t percent);
    void Install(DWORD pauseMs = 0);
    // Download thread: the pause between attempts, and the final failure.
    void OnDownloadRetry(std::uint32_t attempt);
    void OnDownloadFailed();
    // UI thread, at the download thread's request: the failure box and the end of the run.
    void ShowDownloadFailure();
    void StopTask();

    ZipConf m_package;
    std::atomic<std::uint32_t> m_retryCount{0};
    std::shared_ptr<ZipDownloader> m_task;
    bool m_closing = false;
    bool m_installing = false;
    std::string m_downloadFailure;

    SkinUI::CLabelUI* m_tipsLabel = nullptr;
    SkinUI::CButtonUI* m_closeButton = nullptr;
    SkinUI::CButtonUI* m_skipButton = nullptr;
    SkinUI::CContainerUI* m_buttonLayout = nullptr;
    SkinUI::CContainerUI* m_progressLayout = nullptr;
    SkinUI::CProgressUI* m_downloadProgress = nullptr;
};
