// The process entry's application object: single-instance guard and the update run.
#pragma once

#include <windows.h>

#include <string>

extern const wchar_t kStartupGateName[];   // "QMRT_AutoUpdate"
extern const wchar_t kGuardMutexName[];    // the one-updater-at-a-time guard

// How an update run ended, as the log file's last line of the run names it. cause: the last
// download attempt's cause, or what made the installation fail; unused for the other outcomes.
enum class RunOutcome { kInstalled, kReadyForNextStart, kSkipped, kDownloadFailed, kInstallFailed };
std::string RunOutcomeText(RunOutcome outcome, const std::string& cause);

class UpdaterApp {
public:
    explicit UpdaterApp(HINSTANCE instance) : m_instanceMutex(nullptr), m_instance(instance) {}

    // True when this process may run the update.
    bool AcquireInstance();
    // The whole update; true once its message loop has ended.
    bool RunUpdate(const wchar_t* cmdLine);

    HANDLE instanceMutex() const { return m_instanceMutex; }

private:
    HANDLE m_instanceMutex;
    HINSTANCE m_instance;
};
