#include "ui/tips_box_wnd.h"

#include <shellapi.h>

#include "ui/download_page.h"

namespace {
const DWORD kTipsBoxStyle = 0x96C80000;   // popup, visible, clipping, caption, system menu
}

CTipsBoxWnd::CTipsBoxWnd(HWND owner, const std::wstring& text, int style) : m_style(style), m_text(text) {
    CreateFrame(owner, L"Veltaro提示", kTipsBoxStyle, WS_EX_TOOLWINDOW);
}

LRESULT CTipsBoxWnd::OnWindowCreated(UINT message, WPARAM wParam, LPARAM lParam, bool& handled) {
    const LRESULT result = CZpvWndBase::OnWindowCreated(message, wParam, lParam, handled);
    CentreOnOwner();
    return result;
}

void CTipsBoxWnd::OnSkinBuilt() {
    m_tipsLabel = Find<SkinUI::CLabelUI>(L"tipsLabel");
    m_cancelButton = Find<SkinUI::CButtonUI>(L"cancelButton");
    m_confirmButton = Find<SkinUI::CButtonUI>(L"confirmButton");
    if (m_confirmButton) {
        m_confirmButton->SetControlText(m_style == kTipsBoxCustomConfirm ? L"" : L"确定");
        m_confirmButton->SetLabelTextColour(0x00000000);   // the toolkit's default text colour
        m_confirmButton->SetHoverTextColour(0x00FFFFFF);
        m_confirmButton->SetPressedTextColour(0x00B2C3CC);
    }
    if (m_cancelButton) m_cancelButton->SetShown((m_style & 1) != 0);
    if (m_tipsLabel) m_tipsLabel->SetControlText(m_text);
}

void CTipsBoxWnd::OnNotification(SkinUI::NotifyRecord& record) {
    if (record.type != L"click" || !record.sender) return;
    const std::wstring& name = record.sender->GetName();
    if (name == L"closeButton" || name == L"cancelButton") CloseWithCode(2);
    else if (name == L"confirmButton") CloseWithCode(1);
}

void ShowUpdateFailureBox() {
    CTipsBoxWnd box(nullptr, L"升级出问题了,请下载完整安装包~", kTipsBoxCustomConfirm);
    box.SetConfirmCaption(L"前往下载");
    if (box.RunModal() == 1) ::ShellExecuteW(nullptr, L"open", DownloadPageUrl().c_str(), nullptr, nullptr, SW_SHOW);
}
