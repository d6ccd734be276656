// Tells the user that the update is complete, just before the client is started again.
#pragma once

#include "ui/zpv_wnd_base.h"

class CLaunchWnd : public CZpvWndBase {
public:
    CLaunchWnd();

protected:
    std::wstring WindowClassName() const override { return L"zpv_updater_launch_wnd_class_name"; }
    std::wstring SkinSource() const override { return SkinId(146); }
    void OnNotification(SkinUI::NotifyRecord& record) override;
};
