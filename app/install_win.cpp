// Installation of the verified package, on the UI thread: stop the client, unpack (forced
// updates), announce the finished update and start the client launcher again.
#include <windows.h>
#include <shellapi.h>

#include <filesystem>
#include <string>

#include "app/install.h"
#include "app/process_op.h"
#include "app/textconv.h"
#include "extract/extract_api.h"
#include "log/rklog.h"
#include "ui/download_page.h"
#include "ui/launch_wnd.h"
#include "ui/tips_box_wnd.h"

namespace {
const char kInstallFn[] = "ZipDownloader::DoInstall";
const DWORD kStopPauseMs = 500;
const DWORD kExtractPauseMs = 500;
const DWORD kInstallGiveUpMs = 60000;
const DWORD kInstallRetryPauseMs = 2000;
const DWORD kLaunchPauseMs = 300;
// A client that keeps running (or keeps being restarted) is given up on after this long,
// rather than keeping the installation and the UI thread waiting without end.
const DWORD kClientStopGiveUpMs = 30000;

// The package file and the extraction folder. The narrow forms are what the log shows; the
// extractor gets the wide paths, so folders with characters outside the ANSI code page work.
struct ZipInstaller {
    std::string zipName;
    std::string folder;
    std::wstring zipPath;
    std::wstring folderPath;

    ZipInstaller(const std::wstring& zip, const std::wstring& dir)
        : zipName(ToNarrowPath(zip)), folder(ToNarrowPath(dir)), zipPath(zip), folderPath(dir) {}

    // True when the package was extracted; false when the folder cannot be made or the
    // extractor reports a failure (it then leaves the folder as it was).
    bool Install() const {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(folderPath), ec);
        if (ec && !std::filesystem::is_directory(std::filesystem::path(folderPath))) return false;
        Sleep(kExtractPauseMs);
        const int status = ExtractZipToDir(zipPath.c_str(), folderPath.c_str(), 0);
        if (status != 0) LOG_STREAM_FN(rklog::kWarn, kInstallFn) << "extraction failed with status " << status;
        return status == 0;
    }
};

void ShowInstallFailure() {
    CTipsBoxWnd box(nullptr, L"升级出问题了,请下载完整安装包~", kTipsBoxCustomConfirm);
    box.SetConfirmCaption(L"前往下载");
    if (box.RunModal() == 1) {
        ShellExecuteW(nullptr, L"open", DownloadPageUrl().c_str(), nullptr, nullptr, SW_SHOW);
    }
}

// Stops the client; false when it is still running after the give-up time.
bool StopClient() {
    const DWORD t0 = GetTickCount();
    while (FindProcess_ByName(kClientImageName) != 0) {
        if (GetTickCount() - t0 > kClientStopGiveUpMs) {
            LOG_STREAM_FN(rklog::kError, kInstallFn) << "client could not be stopped";
            return false;
        }
        LOG_STREAM_FN(rklog::kInfo, kInstallFn) << "Qvo is running";
        KillClientAndWait();
        Sleep(kStopPauseMs);
    }
    return true;
}
}  // namespace

void InstallPackage(const ZipConf& package) {
    bool installed = StopClient();
    const ZipInstaller installer(package.zipPath, package.clientDic);
    if (!installed) {
        // An optional update was not going to unpack anything: no offer of a full reinstall.
        if (package.forcedUpdate != 0) ShowInstallFailure();
    } else if (package.forcedUpdate != 0) {
        const DWORD t0 = GetTickCount();
        while (!installer.Install()) {
            if (GetTickCount() - t0 > kInstallGiveUpMs) {
                LOG_STREAM_FN(rklog::kError, kInstallFn) << "update install failed";
                LOG_STREAM_FN(rklog::kError, kInstallFn) << "zipName: " << installer.zipName;
                LOG_STREAM_FN(rklog::kError, kInstallFn) << "folder: " << installer.folder;
                ShowInstallFailure();
                installed = false;
                break;
            }
            Sleep(kInstallRetryPauseMs);
        }
    }
    if (installed) LOG_STREAM_FN(rklog::kInfo, kInstallFn) << "install success";

    if (package.launchClient) {
        Sleep(kLaunchPauseMs);
        {
            CLaunchWnd launch;
            launch.CentreOnOwner();
            launch.RunModal();
        }
        // The wide path reaches launchers in folders outside the ANSI code page too.
        ShellExecuteW(nullptr, L"open", package.clientExePath.c_str(), ToWide(package.pageCallParam).c_str(),
                      nullptr, SW_SHOWNORMAL);
    }
}
