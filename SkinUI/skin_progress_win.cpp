// CProgressUI: a track image with a fore image stretched over the filled part.
#include "SkinUI/skin_controls.h"

#include "SkinUI/skin_layout.h"
#include "SkinUI/skin_values.h"

namespace SkinUI {

// ---------------------------------------------------------------- CProgressUI

CProgressUI::CProgressUI() {
    m_textStyle = DT_SINGLELINE | DT_CENTER;
    m_fixedHeight = 12;
}

std::wstring CProgressUI::ClassName() const { return L"ProgressUI"; }
void* CProgressUI::GetInterface(const std::wstring& name) {
    return name == L"Progress" ? this : CLabelUI::GetInterface(name);
}

void CProgressUI::ApplyAttribute(const std::wstring& name, const std::wstring& value) {
    if (name == L"foreimage") SetForeImage(value);
    else if (name == L"hor") SetHorizontal(ParseBoolean(value));
    else if (name == L"min") SetRange(ParseInteger(value), m_max);
    else if (name == L"max") SetRange(m_min, ParseInteger(value));
    else if (name == L"value") SetProgressValue(ParseInteger(value));
    else if (name == L"isstretchfore") SetStretchFore(ParseBoolean(value));
    else CLabelUI::ApplyAttribute(name, value);
}

void CProgressUI::PaintStateImage(HDC dc) {
    const int width = m_rect.right - m_rect.left, height = m_rect.bottom - m_rect.top;
    if (m_horizontal) {
        int fill = ProgressFillLength(width, m_min, m_max, m_value);
        SkinRect dest{0, 0, fill, height};
        if (fill <= 0) return;   // nothing at the minimum
        if (!m_stretchFore) {
            SkinRect source{0, 0, fill, height};
            DrawImage(dc, m_foreImage, &dest, &source);
        } else {
            DrawImage(dc, m_foreImage, &dest);
        }
    } else {
        int fill = ProgressFillLength(height, m_min, m_max, m_value);
        if (fill <= 0) return;
        SkinRect dest{0, height - fill, width, height};
        DrawImage(dc, m_foreImage, &dest);
    }
}

void CProgressUI::SetProgressValue(int value) {
    if (value == m_value) return;
    m_value = value;
    Invalidate();
}

void CProgressUI::SetRange(int minimum, int maximum) {
    m_min = minimum;
    m_max = maximum;
    Invalidate();
}

void CProgressUI::SetHorizontal(bool horizontal) {
    m_horizontal = horizontal;
    Invalidate();
}

void CProgressUI::SetForeImage(const std::wstring& d) {
    m_foreImage.Set(d);
    Invalidate();
}

void CProgressUI::SetStretchFore(bool stretch) {
    m_stretchFore = stretch;
    Invalidate();
}

}  // namespace SkinUI
