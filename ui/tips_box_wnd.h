// The updater's message box: one line of text, a confirm button and, in one style, a cancel
// button. Run modally; answers 1 (confirm, Enter), 2 (close, cancel, Escape) or 0 (ended
// otherwise, e.g. Alt+F4 or a quit message).
#pragma once

#include "ui/zpv_wnd_base.h"

enum TipsBoxStyle {
    kTipsBoxOk = 0,              // "确定", no cancel button
    kTipsBoxOkCancel = 1,        // "确定" and a cancel button
    kTipsBoxCustomConfirm = 2,   // the caller sets the confirm caption
};

class CTipsBoxWnd : public CZpvWndBase {
public:
    // Creates the box (visible, centred on its owner) owned by owner, which may be null.
    CTipsBoxWnd(HWND owner, const std::wstring& text, int style);

    void SetConfirmCaption(const std::wstring& caption) {
        if (m_confirmButton) m_confirmButton->SetControlText(caption);
    }

    SkinUI::CLabelUI* m_tipsLabel = nullptr;
    SkinUI::CButtonUI* m_cancelButton = nullptr;
    SkinUI::CButtonUI* m_confirmButton = nullptr;

protected:
    std::wstring WindowClassName() const override { return L"zpv_updater_tips_wnd_class_name"; }
    std::wstring SkinSource() const override { return SkinId(143); }
    void OnSkinBuilt() override;
    void OnNotification(SkinUI::NotifyRecord& record) override;
    LRESULT OnWindowCreated(UINT message, WPARAM wParam, LPARAM lParam, bool& handled) override;

private:
    int m_style;
    std::wstring m_text;
};

// The box after a failed update: offers the full installer and opens the product's download
// page in the browser when the user confirms. Returns when the box has closed.
void ShowUpdateFailureBox();
