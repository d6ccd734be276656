// Text controls: CLabelUI (one line of text in a font and colour) and CButtonUI (a label with
// state images that the mouse and keyboard drive, sending "click").
#include "SkinUI/skin_controls.h"

#include "SkinUI/skin_manager.h"
#include "SkinUI/skin_rect.h"
#include "SkinUI/skin_values.h"

namespace SkinUI {

// ---------------------------------------------------------------- CLabelUI

std::wstring CLabelUI::ClassName() const { return L"LabelUI"; }
void* CLabelUI::GetInterface(const std::wstring& name) {
    return name == L"Label" ? this : CControlUI::GetInterface(name);
}

void CLabelUI::ApplyAttribute(const std::wstring& name, const std::wstring& value) {
    if (name == L"font") SetFontId(ParseInteger(value));
    else if (name == L"textcolor") SetLabelTextColour(ParseColour(value));
    else if (name == L"disabledtextcolor") SetDisabledTextColour(ParseColour(value));
    else if (name == L"textpadding") SetTextPadding(ToRect(ParseRect(value)));
    else if (name == L"align") {
        if (value.find(L"left") != std::wstring::npos) m_textStyle = (m_textStyle & ~(DT_CENTER | DT_RIGHT)) | DT_LEFT;
        if (value.find(L"center") != std::wstring::npos) m_textStyle = (m_textStyle & ~(DT_LEFT | DT_RIGHT)) | DT_CENTER;
        if (value.find(L"right") != std::wstring::npos) m_textStyle = (m_textStyle & ~(DT_LEFT | DT_CENTER)) | DT_RIGHT;
        Invalidate();
    } else if (name == L"valign") {
        if (value.find(L"top") != std::wstring::npos) m_textStyle = (m_textStyle & ~(DT_VCENTER | DT_BOTTOM)) | DT_TOP;
        if (value.find(L"vcenter") != std::wstring::npos) m_textStyle = (m_textStyle & ~(DT_TOP | DT_BOTTOM)) | DT_VCENTER;
        if (value.find(L"bottom") != std::wstring::npos) m_textStyle = (m_textStyle & ~(DT_TOP | DT_VCENTER)) | DT_BOTTOM;
        Invalidate();
    } else if (name == L"endellipsis") {
        m_textStyle = ParseBoolean(value) ? (m_textStyle | DT_END_ELLIPSIS) : (m_textStyle & ~DT_END_ELLIPSIS);
        Invalidate();
    } else {
        CControlUI::ApplyAttribute(name, value);
    }
}

int CLabelUI::TextHeight() const { return m_manager ? m_manager->LookupFontHeight(m_font) : 0; }

SIZE CLabelUI::Measure(SIZE) {
    if (m_fixedHeight == 0) return SIZE{m_fixedWidth, TextHeight() + 4};
    return SIZE{m_fixedWidth, m_fixedHeight};
}

void CLabelUI::DrawLabelText(HDC dc, DWORD colour) {
    if (m_text.empty() || !m_manager) return;
    std::wstring text = ExpandLanguageRefs(m_text, nullptr);
    RECT rc{m_rect.left + m_textPadding.left, m_rect.top + m_textPadding.top, m_rect.right - m_textPadding.right,
            m_rect.bottom - m_textPadding.bottom};
    HGDIOBJ oldFont = ::SelectObject(dc, m_manager->LookupFont(m_font));
    int oldMode = ::SetBkMode(dc, TRANSPARENT);
    COLORREF oldColour = ::SetTextColor(dc, ToColorRef(colour));
    ::DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rc, m_textStyle | DT_SINGLELINE | DT_NOPREFIX);
    ::SetTextColor(dc, oldColour);
    ::SetBkMode(dc, oldMode);
    ::SelectObject(dc, oldFont);
}

// A colour of 0 stands for the paint manager's default, taken once at the first paint.
void CLabelUI::TakeDefaultColours() {
    if (m_textColour == 0) m_textColour = m_manager->GetDefaultTextColour();
    if (m_disabledTextColour == 0) m_disabledTextColour = m_manager->GetDefaultDisabledColour();
}

void CLabelUI::PaintLabelText(HDC dc) {
    if (!m_manager) return;
    TakeDefaultColours();
    DrawLabelText(dc, IsEnabled() ? m_textColour : m_disabledTextColour);
}

void CLabelUI::SetLabelTextColour(DWORD argb) {
    m_textColour = argb;
    Invalidate();
}

void CLabelUI::SetDisabledTextColour(DWORD argb) {
    m_disabledTextColour = argb;
    Invalidate();
}

void CLabelUI::SetFontId(int id) {
    m_font = id;
    Invalidate();
}

void CLabelUI::SetTextStyle(UINT dtFlags) {
    m_textStyle = dtFlags;
    Invalidate();
}

void CLabelUI::SetTextPadding(const RECT& padding) {
    m_textPadding = padding;
    Invalidate();
}

// ---------------------------------------------------------------- CButtonUI

CButtonUI::CButtonUI() { m_textStyle = DT_SINGLELINE | DT_VCENTER | DT_CENTER; }

std::wstring CButtonUI::ClassName() const { return L"ButtonUI"; }
void* CButtonUI::GetInterface(const std::wstring& name) {
    return name == L"Button" ? this : CLabelUI::GetInterface(name);
}

bool CButtonUI::Trigger() {
    if (!IsVisible() || !IsEnabled() || !m_manager) return false;
    m_manager->DispatchNotification(this, L"click");
    return true;
}

void CButtonUI::HandleEvent(ControlEvent& event) {
    if (!IsMouseEnabled() && IsMouseEvent(event.type)) {
        if (m_parent) m_parent->HandleEvent(event);
        else CLabelUI::HandleEvent(event);
        return;
    }
    switch (event.type) {
    case kEventSetFocus:
    case kEventKillFocus:
        Invalidate();
        return;
    case kEventKeyDown:
        if (IsKeyboardEnabled() && (event.key == VK_SPACE || event.key == VK_RETURN)) Trigger();
        return;
    case kEventButtonDown:
    case kEventDoubleClick:
        if (Contains(m_rect, event.mousePos) && IsEnabled()) {
            m_state |= kStatePushed | kStateCaptured;
            Invalidate();
        }
        return;
    case kEventMouseMove:
        if (m_state & kStateCaptured) {
            if (Contains(m_rect, event.mousePos)) m_state |= kStatePushed;
            else m_state &= ~kStatePushed;
            Invalidate();
        }
        return;
    case kEventButtonUp:
        if (m_state & kStateCaptured) {
            bool inside = Contains(m_rect, event.mousePos);
            m_state &= ~(kStatePushed | kStateCaptured);
            Invalidate();
            if (inside) Trigger();
        }
        return;
    case kEventContextMenu:
        if (m_hasContextMenu && m_manager) m_manager->DispatchNotification(this, L"menu", event.wParam, event.lParam);
        return;
    case kEventMouseEnter:
        if (IsEnabled()) {
            m_state |= kStateHot;
            Invalidate();
        }
        return;
    case kEventMouseLeave:
        if (IsEnabled()) {
            m_state &= ~kStateHot;
            Invalidate();
        }
        return;
    case kEventSetCursor:
        ::SetCursor(::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_HAND)));
        return;
    default:
        CLabelUI::HandleEvent(event);
        return;
    }
}

void CButtonUI::ApplyAttribute(const std::wstring& name, const std::wstring& value) {
    if (name == L"normalimage") SetNormalImage(value);
    else if (name == L"hotimage") SetHotImage(value);
    else if (name == L"pushedimage") SetPushedImage(value);
    else if (name == L"focusedimage") SetFocusedImage(value);
    else if (name == L"disabledimage") SetDisabledImage(value);
    else if (name == L"foreimage") SetForeImage(value);
    else if (name == L"hotforeimage") SetHotForeImage(value);
    else if (name == L"pushedforeimage") { m_pushedFore.Set(value); Invalidate(); }
    else if (name == L"hotbkcolor") SetHotBackgroundColour(ParseColour(value));
    else if (name == L"hottextcolor") SetHoverTextColour(ParseColour(value));
    else if (name == L"pushedtextcolor") SetPressedTextColour(ParseColour(value));
    else if (name == L"focusedtextcolor") SetFocusedTextColour(ParseColour(value));
    else if (name == L"menu") m_hasContextMenu = ParseBoolean(value);
    else CLabelUI::ApplyAttribute(name, value);
}

SIZE CButtonUI::Measure(SIZE) {
    if (m_fixedHeight == 0) return SIZE{m_fixedWidth, TextHeight() + 8};
    return SIZE{m_fixedWidth, m_fixedHeight};
}

bool CButtonUI::DrawOrNormal(HDC dc, ImageSlot& slot) {
    if (DrawImage(dc, slot)) return true;
    return DrawImage(dc, m_normal);
}

void CButtonUI::PaintStateImage(HDC dc) {
    if (IsFocused()) m_state |= kStateFocused;
    else m_state &= ~kStateFocused;
    if (!IsEnabled()) m_state |= kStateDisabled;
    else m_state &= ~kStateDisabled;

    if (m_state & kStateDisabled) {
        DrawOrNormal(dc, m_disabled);
    } else if (m_state & kStatePushed) {
        DrawOrNormal(dc, m_pushed);
        if (DrawImage(dc, m_pushedFore)) return;
    } else if (m_state & kStateHot) {
        DrawOrNormal(dc, m_hot);
        if (DrawImage(dc, m_hotFore)) return;
        if (m_hotBkColour != 0) {
            FillColour(dc, m_hotBkColour);
            return;
        }
    } else if (m_state & kStateFocused) {
        DrawOrNormal(dc, m_focused);
    } else {
        DrawImage(dc, m_normal);
    }
    DrawImage(dc, m_fore);
}

void CButtonUI::PaintLabelText(HDC dc) {
    if (!m_manager) return;
    TakeDefaultColours();
    DWORD colour = m_textColour;
    if (!IsEnabled()) colour = m_disabledTextColour;
    else if ((m_state & kStatePushed) && m_pushedTextColour != 0) colour = m_pushedTextColour;
    else if ((m_state & kStateHot) && m_hotTextColour != 0) colour = m_hotTextColour;
    else if (IsFocused() && m_focusedTextColour != 0) colour = m_focusedTextColour;
    DrawLabelText(dc, colour);
}

void CButtonUI::SetNormalImage(const std::wstring& d) { m_normal.Set(d); Invalidate(); }
void CButtonUI::SetHotImage(const std::wstring& d) { m_hot.Set(d); Invalidate(); }
void CButtonUI::SetPushedImage(const std::wstring& d) { m_pushed.Set(d); Invalidate(); }
void CButtonUI::SetFocusedImage(const std::wstring& d) { m_focused.Set(d); Invalidate(); }
void CButtonUI::SetDisabledImage(const std::wstring& d) { m_disabled.Set(d); Invalidate(); }
void CButtonUI::SetForeImage(const std::wstring& d) { m_fore.Set(d); Invalidate(); }
void CButtonUI::SetHotForeImage(const std::wstring& d) { m_hotFore.Set(d); Invalidate(); }
void CButtonUI::SetHotBackgroundColour(DWORD argb) { m_hotBkColour = argb; Invalidate(); }
void CButtonUI::SetHoverTextColour(DWORD argb) { m_hotTextColour = argb; Invalidate(); }
void CButtonUI::SetPressedTextColour(DWORD argb) { m_pushedTextColour = argb; Invalidate(); }
void CButtonUI::SetFocusedTextColour(DWORD argb) { m_focusedTextColour = argb; Invalidate(); }

}  // namespace SkinUI
