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

    // The extractor's status (0: extracted), or kNoFolder when the folder cannot be made.
    static constexpr int kNoFolder = -1;
    int Install(const InstallTimings& timings) const {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(folderPath), ec);
        if (ec && !std::filesystem::is_directory(std::filesystem::path(folderPath))) return kNoFolder;
        SkinUI::PauseAnswering(timings.extractPauseMs);
        // Minutes on a slow disk: the UI thread keeps answering its windows meanwhile.
        int status = -1;
        SkinUI::RunWhileAnswering([&] { status = ExtractZipToDir(zipPath.c_str(), folderPath.c_str(), 0); });
        if (status != 0) LOG_STREAM_FN(rklog::kWarn, kInstallFn) << "extraction failed with status " << status;
        return status;
    }
};

std::string FailureOf(int status) {
    if (status == ZipInstaller::kNoFolder) return "the extraction folder cannot be made";
    return "extractor status " + std::to_string(status) + " (" + ZpvExtractStatusText(status) + ")";
}

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

bool ExtractStatusMayPass(int status) {
    switch (status) {
        case ZPV_EXTRACT_ARCHIVE_UNREADABLE:   // the package file held by another program (a scanner)
        case ZPV_EXTRACT_TARGET_UNUSABLE:      // a folder not creatable yet (a drive not yet there)
        case ZPV_EXTRACT_WRITE_FAILED:         // a write error of no known lasting cause
        case ZPV_EXTRACT_FILE_LOCKED:          // a client file held by another program
        case ZPV_EXTRACT_COMMIT_FAILED:        // a move refused for no known lasting cause
        case ZPV_EXTRACT_ROLLBACK_INCOMPLETE:  // an interrupted extraction's files still held
        case ZPV_EXTRACT_BUSY:                 // another extraction into the folder
        case ZPV_EXTRACT_INTERNAL_ERROR:       // out of memory
            return true;
        case ZPV_EXTRACT_BAD_ARGUMENT:
        case ZPV_EXTRACT_NOT_AN_ARCHIVE:
        case ZPV_EXTRACT_TRUNCATED:
        case ZPV_EXTRACT_UNSUPPORTED:
        case ZPV_EXTRACT_UNSAFE_PATH:
        case ZPV_EXTRACT_BAD_NAME:
        case ZPV_EXTRACT_DUPLICATE_ENTRY:
        case ZPV_EXTRACT_OVERLAPPING_ENTRIES:
        case ZPV_EXTRACT_TOO_MANY_ENTRIES:
        case ZPV_EXTRACT_TOO_LARGE:
        case ZPV_EXTRACT_CORRUPT_DATA:
        case ZPV_EXTRACT_SIZE_MISMATCH:
        case ZPV_EXTRACT_CRC_MISMATCH:
        case ZPV_EXTRACT_HEADER_MISMATCH:
        // The installed client's own files, a full volume, missing rights and a work folder left
        // as found wait for a person, not for a minute.
        case ZPV_EXTRACT_TARGET_CONFLICT:
        case ZPV_EXTRACT_DISK_FULL:
        case ZPV_EXTRACT_READ_ONLY:
        case ZPV_EXTRACT_NAME_ALIAS:
        case ZPV_EXTRACT_FOREIGN_WORK:
            return false;
        default:
            return true;   // a library of another version: retried, as every status once was
    }
}

InstallResult InstallPackage(const ZipConf& package) {
    const InstallTimings timings = settings::installTimings.Get();
    InstallResult result;
    const ZipInstaller installer(package.zipPath, package.clientDic);
    if (!StopClient(timings)) {
        result = {false, "the client could not be stopped"};
        // An optional update was not going to unpack anything: no offer of a full reinstall.
        if (package.forcedUpdate != 0) ShowUpdateFailureBox();
    } else if (package.forcedUpdate != 0) {
        const DWORD t0 = GetTickCount();
        for (;;) {
            const int status = installer.Install(timings);
            if (status == 0) break;
            // The same package gives the same refusal every time: no point in a minute of retries.
            const bool mayPass = status == ZipInstaller::kNoFolder || ExtractStatusMayPass(status);
            if (!mayPass || GetTickCount() - t0 > timings.installGiveUpMs) {
                LOG_STREAM_FN(rklog::kError, kInstallFn) << "update install failed";
                LOG_STREAM_FN(rklog::kError, kInstallFn) << "zipName: " << installer.zipName;
                LOG_STREAM_FN(rklog::kError, kInstallFn) << "folder: " << installer.folder;
                result = {false, FailureOf(status)};
                ShowUpdateFailureBox();
                break;
            }
            SkinUI::PauseAnswering(timings.installRetryPauseMs);
        }
    }
    if (result.ok) LOG_STREAM_FN(rklog::kInfo, kInstallFn) << "install success";

    if (package.launchClient) {
        // "Update complete" only when it is: after a failure the student has seen the failure
        // box and goes on with the client as it was.
        if (result.ok) {
            SkinUI::PauseAnswering(timings.launchPauseMs);
            CLaunchWnd launch;
            launch.CentreOnOwner();
            launch.RunModal();
        }
        // The wide path reaches launchers in folders outside the ANSI code page too.
        ShellExecuteW(nullptr, L"open", package.clientExePath.c_str(), ToWide(package.pageCallParam).c_str(),
                      nullptr, SW_SHOWNORMAL);
    }
    return result;
}
