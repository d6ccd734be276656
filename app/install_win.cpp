// Installation of the verified package, on the UI thread: stop the client, unpack (forced
// updates), announce the finished update and start the client launcher again.
#include <windows.h>
#include <shellapi.h>

#include <filesystem>
#include <string>

#include "app/core/process_op.h"
#include "app/core/textconv.h"
#include "app/install.h"
#include "extract/extract_api.h"
#include "SkinUI/skin_wait.h"
#include "log/rklog.h"
#include "ui/launch_wnd.h"
#include "ui/tips_box_wnd.h"

namespace {
const char kInstallFn[] = "ZipDownloader::DoInstall";

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
    bool Install(const InstallTimings& timings) const {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(folderPath), ec);
        if (ec && !std::filesystem::is_directory(std::filesystem::path(folderPath))) return false;
        SkinUI::PauseAnswering(timings.extractPauseMs);
        // Minutes on a slow disk: the UI thread keeps answering its windows meanwhile.
        int status = -1;
        SkinUI::RunWhileAnswering([&] { status = ExtractZipToDir(zipPath.c_str(), folderPath.c_str(), 0); });
        if (status != 0) LOG_STREAM_FN(rklog::kWarn, kInstallFn) << "extraction failed with status " << status;
        return status == 0;
    }
};

// Stops the client; false when it is still running (or keeps being restarted) after the
// give-up time, rather than keeping the installation and the UI thread waiting without end.
bool StopClient(const InstallTimings& timings) {
    const DWORD t0 = GetTickCount();
    while (FindProcess_ByName(kClientImageName) != 0) {
        if (GetTickCount() - t0 > timings.clientStopGiveUpMs) {
            LOG_STREAM_FN(rklog::kError, kInstallFn) << "client could not be stopped";
            return false;
        }
        LOG_STREAM_FN(rklog::kInfo, kInstallFn) << "Qvo is running";
        KillClientAndWait();
        SkinUI::PauseAnswering(timings.stopPauseMs);
    }
    return true;
}
}  // namespace

void InstallPackage(const ZipConf& package) {
    const InstallTimings timings = settings::installTimings.Get();
    bool installed = StopClient(timings);
    const ZipInstaller installer(package.zipPath, package.clientDic);
    if (!installed) {
        // An optional update was not going to unpack anything: no offer of a full reinstall.
        if (package.forcedUpdate != 0) ShowUpdateFailureBox();
    } else if (package.forcedUpdate != 0) {
        const DWORD t0 = GetTickCount();
        while (!installer.Install(timings)) {
            if (GetTickCount() - t0 > timings.installGiveUpMs) {
                LOG_STREAM_FN(rklog::kError, kInstallFn) << "update install failed";
                LOG_STREAM_FN(rklog::kError, kInstallFn) << "zipName: " << installer.zipName;
                LOG_STREAM_FN(rklog::kError, kInstallFn) << "folder: " << installer.folder;
                ShowUpdateFailureBox();
                installed = false;
                break;
            }
            SkinUI::PauseAnswering(timings.installRetryPauseMs);
        }
    }
    if (installed) LOG_STREAM_FN(rklog::kInfo, kInstallFn) << "install success";

    if (package.launchClient) {
        SkinUI::PauseAnswering(timings.launchPauseMs);
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
