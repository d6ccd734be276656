// The update run on Windows: toolkit set-up, command line, confirmation box, updater window and its loop.
#include <windows.h>

#include "SkinUI/skin_settings.h"
#include "app/core/process_op.h"
#include "app/core/zipconf.h"
#include "app/install.h"
#include "app/updater_app.h"
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
}  // namespace

bool UpdaterApp::RunUpdate(const wchar_t* cmdLine) {
    SkinUI::SetModuleInstance(m_instance);
    SkinUI::SetResourcePath(SkinUI::GetInstancePath());

    ZipConf conf = parseZipConf(cmdLine);

    if (conf.forcedUpdate == 1) {
        HWND owner = FindWindowW(kClientWindowClass, nullptr);
        CTipsBoxWnd box(owner, L"您的客户端版本太低，将更新至最新版本!", kTipsBoxOk);
        box.CentreOnOwner();
        box.RunModal();
        KillClientAndWait();
    }

    {
        CUpdaterWnd wnd;
        wnd.ShowFrame(false, true);
        PlaceLowerRight(wnd.GetHWND());
        wnd.StartDownload(conf, InstallPackage);
        wnd.ShowFrame(true, true);
        SetActiveWindow(wnd.GetHWND());
        SetForegroundWindow(wnd.GetHWND());
        SkinUI::CWindowWnd::RunMessageLoop();
    }
    return true;
}
