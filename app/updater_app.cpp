#include "app/updater_app.h"

#include <stdlib.h>

const wchar_t kStartupGateName[] = L"QMRT_AutoUpdate";
const wchar_t kGuardMutexName[] = L"{7D3E9A41-52C6-4F0B-A8E2-93B1C64D0F7A}";

namespace {
const DWORD kStartupGateWaitMs = 10000;
}

bool UpdaterApp::AcquireInstance() {
    HANDLE gate = CreateMutexW(nullptr, FALSE, kStartupGateName);
    if (!gate) {
        // Without the gate nothing may run; the caller ends the process with -1.
        return false;
    }
    bool result = false;
    if (WaitForSingleObject(gate, kStartupGateWaitMs) != WAIT_TIMEOUT) {
        m_instanceMutex = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, kGuardMutexName);
        if (!m_instanceMutex) {
            HANDLE created = CreateMutexW(nullptr, TRUE, kGuardMutexName);
            if (created) m_instanceMutex = created;
            result = __argc > 1;
        }
    }
    // Closed without releasing: an acquired gate stays owned by this thread until it ends.
    CloseHandle(gate);
    return result;
}
