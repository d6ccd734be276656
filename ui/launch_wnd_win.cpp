#include "ui/launch_wnd.h"

CLaunchWnd::CLaunchWnd() { CreateMainFrame(); }

void CLaunchWnd::OnNotification(SkinUI::NotifyRecord& record) {
    if (!record.sender) return;
    const std::wstring& name = record.sender->GetName();
    // Any notification of the close button closes the window; the launch button ("打开助手")
    // ends it too, since the client starts as soon as the window is gone.
    if (name == L"closeButton") CloseWithCode(1);
    else if (name == L"launchButton" && record.type == L"click") CloseWithCode(1);
}
