// The update run on Windows: toolkit set-up, command line, confirmation box, updater window and its loop.
#include <windows.h>

#include <string>

#include "SkinUI/skin_settings.h"
#include "app/core/process_op.h"
#include "app/core/textconv.h"
#include "app/core/zipconf.h"
#include "app/install.h"
#include "app/updater_app.h"
#include "log/log_file.h"
#include "ui/tips_box_wnd.h"
#include "ui/updater_wnd.h"

namespace {
const wchar_t kClientWindowClass[] = L"veltaro";

// Lower right of the primary work area; its left and top offsets are not added.
void PlaceLowerRight(HWND wnd) {
    RECT work{}, r{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    GetWindowRect(wnd, &r);
    const int x = (work.right - work.left) - (r.right - r.left);
    const int y = (work.bottom - work.top) - (r.bottom - r.top);
    SetWindowPos(wnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOREDRAW | SWP_NOACTIVATE);
}

std::wstring EnvValue(const wchar_t* name) {
    wchar_t buf[1024];
    const DWORD n = GetEnvironmentVariableW(name, buf, 1024);
    return n > 0 && n < 1024 ? std::wstring(buf, n) : std::wstring();
}

// The command line on one line of the log: control characters written as \xNN.
std::string OneLine(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
}  // namespace

std::string RunOutcomeText(RunOutcome outcome, const std::string& cause) {
    switch (outcome) {
        case RunOutcome::kInstalled: return "installed";
        case RunOutcome::kReadyForNextStart: return "ready for next start";
        case RunOutcome::kSkipped: return "skipped by the user";
        case RunOutcome::kDownloadFailed: return "download failed: " + OneLine(cause);
        case RunOutcome::kInstallFailed: return "installation failed: " + OneLine(cause);
    }
    return "unknown";
}

bool UpdaterApp::RunUpdate(const wchar_t* cmdLine) {
    SkinUI::SetModuleInstance(m_instance);
    SkinUI::SetResourcePath(SkinUI::GetInstancePath());

    // Support's log file, when asked for: a path that cannot be written leaves just the file out.
    const std::wstring logFile = LogFileOf(cmdLine, EnvValue(L"ZPVUPDATE_LOG"), GetModuleDir());
    if (!logFile.empty() && rklog::EnableLogFile(logFile))
        rklog::LogRunBegins(std::string("ZPVUpdate " ZPV_VERSION ", command line: ") + OneLine(ToNarrow(cmdLine ? cmdLine : L"")));

    ZipConf conf = parseZipConf(cmdLine);

    if (conf.forcedUpdate == 1) {
        HWND owner = FindWindowW(kClientWindowClass, nullptr);
        CTipsBoxWnd box(owner, L"您的客户端版本太低，将更新至最新版本!", kTipsBoxOk);
        box.CentreOnOwner();
        box.RunModal();
        KillClientAndWait();
    }

    bool installRan = false;
    InstallResult installed;
    RunOutcome outcome = RunOutcome::kSkipped;
    std::string cause;
    {
        CUpdaterWnd wnd;
        wnd.ShowFrame(false, true);
        PlaceLowerRight(wnd.GetHWND());
        wnd.StartDownload(conf, [&](const ZipConf& package) {
            installRan = true;
            installed = InstallPackage(package);
        });
        wnd.ShowFrame(true, true);
        SetActiveWindow(wnd.GetHWND());
        SetForegroundWindow(wnd.GetHWND());
        SkinUI::CWindowWnd::RunMessageLoop();

        if (installRan && !installed.ok) {
            outcome = RunOutcome::kInstallFailed;
            cause = installed.failure;
        } else if (installRan) {
            outcome = conf.forcedUpdate != 0 ? RunOutcome::kInstalled : RunOutcome::kReadyForNextStart;
        } else if (!wnd.DownloadFailure().empty()) {
            outcome = RunOutcome::kDownloadFailed;
            cause = wnd.DownloadFailure();
        } else if (wnd.PackageReady()) {
            outcome = RunOutcome::kReadyForNextStart;   // closed before installing: the package stays
        }
    }
    // After the window and its download threads are gone: the run's last line.
    const bool failed = outcome == RunOutcome::kDownloadFailed || outcome == RunOutcome::kInstallFailed;
    rklog::LogRunEnds(failed ? rklog::kError : rklog::kInfo, RunOutcomeText(outcome, cause));
    return true;
}
