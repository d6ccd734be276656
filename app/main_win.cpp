// The process entry of ZPVUpdate.exe.
#include <objbase.h>
#include <windows.h>

#include "app/updater_app.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR cmdLine, int) {
    if (FAILED(CoInitialize(nullptr))) return -1;
    UpdaterApp app(instance);
    int status = -1;
    if (app.AcquireInstance()) {
        app.RunUpdate(cmdLine);
        status = 0;
    }
    CoUninitialize();
    if (app.instanceMutex()) CloseHandle(app.instanceMutex());
    return status;
}
