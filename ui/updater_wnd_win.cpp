#include "ui/updater_wnd.h"

#include "SkinUI/skin_wait.h"
#include "app/core/process_op.h"
#include "ui/tips_box_wnd.h"

namespace {
const wchar_t kForcedHeadline[] = L"客户端有新版本，正在自动更新，请稍候哦";
const wchar_t kOptionalHeadline[] = L"新版本下载中，建议下载完成后再进入教室";
const wchar_t kReadyText[] = L"新版本将在下次启动时安装，您也可以立即安装！";
const std::size_t kProgressTextCapacity = 260;   // UTF-16 units, terminator included

// Sent by the download thread; the UI thread shows the failure box while the sender waits.
const UINT kMsgDownloadFailed = WM_APP + 0x121;
// How long the window waits for the download threads when it goes: every wait of the engine
// ends within a second of a stop request. A worker still busy after that (in a callback) keeps
// the task alive on its own, so nothing it uses is freed; the process end takes it.
const DWORD kStopWaitMs = 1000;
}  // namespace

CUpdaterWnd::CUpdaterWnd() { CreateMainFrame(); }

CUpdaterWnd::~CUpdaterWnd() {
    m_closing = true;
    if (m_hwnd && ::IsWindow(m_hwnd)) ::ShowWindow(m_hwnd, SW_HIDE);   // gone for the user at once
    StopTask();
    if (m_hwnd) ::KillTimer(m_hwnd, kProgressTimerId);
    if (m_hwnd && ::IsWindow(m_hwnd)) ::DestroyWindow(m_hwnd);
}

// Asks the task to stop and waits for its thread, handling messages sent to this thread
// meanwhile: the download thread may be waiting in SendMessage for the failure box.
void CUpdaterWnd::StopTask() {
    if (!m_task) return;
    m_task->RequestStop();
    const DWORD t0 = ::GetTickCount();
    while (!m_task->WaitDone(0) && ::GetTickCount() - t0 < kStopWaitMs) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_SENDMESSAGE);
        MSG msg;
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    m_task.reset();
}

void CUpdaterWnd::OnSkinBuilt() {
    m_tipsLabel = Find<SkinUI::CLabelUI>(L"tipsLabel");
    m_closeButton = Find<SkinUI::CButtonUI>(L"closeButton");
    m_skipButton = Find<SkinUI::CButtonUI>(L"skipButton");
    m_buttonLayout = Find<SkinUI::CContainerUI>(L"buttonLayout");
    m_progressLayout = Find<SkinUI::CContainerUI>(L"progressLayout");
    m_downloadProgress = Find<SkinUI::CProgressUI>(L"downloadProgress");
}

void CUpdaterWnd::StartDownload(const ZipConf& package, InstallAction install) {
    m_package = package;
    if (Forced() && m_skipButton) m_skipButton->SetShown(false);
    m_task = std::make_shared<ZipDownloader>(m_package, GetModuleDir(), std::move(install));
    m_task->m_onRetry = [this](std::uint32_t attempt) { OnDownloadRetry(attempt); };
    m_task->m_onFailed = [this] { OnDownloadFailed(); };
    m_task->Start();
    ::SetTimer(m_hwnd, kProgressTimerId, kProgressTimerPeriod, nullptr);
}

void CUpdaterWnd::OnDownloadRetry(std::uint32_t attempt) {
    m_retryCount = attempt;
    m_task->SleepUnlessStopped(kRetryPause);
}

void CUpdaterWnd::OnDownloadFailed() {
    if (m_task->StopRequested()) return;
    ::SendMessageW(m_hwnd, kMsgDownloadFailed, 0, 0);
}

void CUpdaterWnd::ShowDownloadFailure() {
    // The worker waits in SendMessage meanwhile: its last result is settled.
    if (m_task) {
        const AttemptFailure failure = m_task->LastFailure();
        // The last attempt's cause as the engine names it (lookup, connection, certificate, ...).
        m_downloadFailure = failure.text.empty() ? DownloadResultText(m_task->LastResult()) : failure.text;
    }
    if (!m_closing) ShowUpdateFailureBox();
    ::PostQuitMessage(0);
}

LRESULT CUpdaterWnd::ProcessMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_TIMER:
            if (wParam == kProgressTimerId && m_task) {
                const DownloadInfo info = m_task->GetInfo();
                const std::int64_t percent = info.totalBytes != 0 ? info.downloadedBytes * 100 / info.totalBytes : 0;
                UpdateProgress(percent);
            }
            break;
        case WM_CLOSE:
            // The installation keeps answering messages, and the run ends right after it.
            if (m_installing) return 0;
            ::PostQuitMessage(0);
            return 1;
        case WM_QUIT:
            // Every way out ends the run's message loop; the run then destroys the window.
            ::PostQuitMessage(0);
            return 1;
        case kMsgDownloadFailed:
            ShowDownloadFailure();
            return 0;
    }
    return CZpvWndBase::ProcessMessage(message, wParam, lParam);
}

void CUpdaterWnd::UpdateProgress(std::int64_t percent) {
    const unsigned clamped = static_cast<std::uint64_t>(percent) > 100 ? 100u : static_cast<unsigned>(percent);
    const std::uint32_t retry = m_retryCount;
    std::wstring suffix;
    if (retry != 0) suffix = L"（重试第" + std::to_wstring(retry) + L"次)";
    if (retry == 1) {
        // Grows to the left, keeping the right edge.
        RECT r;
        ::GetWindowRect(m_hwnd, &r);
        ::SetWindowPos(m_hwnd, nullptr, r.right - kRetryWindowWidth, r.top, kRetryWindowWidth, r.bottom - r.top,
                       SWP_NOZORDER | SWP_NOACTIVATE);
    }
    std::wstring line = std::wstring(Forced() ? kForcedHeadline : kOptionalHeadline) + L"..." +
                        std::to_wstring(clamped) + L"%" + suffix;
    if (line.size() >= kProgressTextCapacity) line.resize(kProgressTextCapacity - 1);
    if (m_tipsLabel) m_tipsLabel->SetControlText(line);
    if (m_downloadProgress) m_downloadProgress->SetProgressValue(static_cast<int>(clamped));

    if (!m_task || !m_task->Succeeded()) return;
    ::KillTimer(m_hwnd, kProgressTimerId);
    if (m_closeButton) m_closeButton->SetShown(true);
    if (!Forced()) {
        if (m_tipsLabel) m_tipsLabel->SetControlText(kReadyText);
        if (m_progressLayout) m_progressLayout->SetShown(false);
        if (m_buttonLayout) m_buttonLayout->SetShown(true);
        return;
    }
    Install(kForcedInstallDelay);
    ::PostQuitMessage(0);
}

// Installation runs on this thread (it shows modal windows) and keeps answering messages while
// it waits; the window is disabled meanwhile, from the pause before it on, so that its buttons
// cannot start a second installation or end the run half-way.
void CUpdaterWnd::Install(DWORD pauseMs) {
    if (!m_task || m_installing) return;
    m_installing = true;
    ::EnableWindow(m_hwnd, FALSE);
    if (pauseMs != 0) SkinUI::PauseAnswering(pauseMs);
    m_task->DoInstall();
    ::EnableWindow(m_hwnd, TRUE);
    m_installing = false;
}

void CUpdaterWnd::OnNotification(SkinUI::NotifyRecord& record) {
    if (record.type != L"click" || !record.sender || m_installing) return;
    const std::wstring& name = record.sender->GetName();
    if (name == L"closeButton" || name == L"skipButton") {
        ::PostQuitMessage(0);
    } else if (name == L"installButton") {
        Install();
        ::PostQuitMessage(0);
    }
}
