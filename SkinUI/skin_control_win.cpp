// CControlUI: the base of every control (name, text, visibility, size constraints, the
// background, events that bubble to the parent, and the painting order).
#include "SkinUI/skin_controls.h"

#include <algorithm>

#include "SkinUI/skin_manager.h"
#include "SkinUI/skin_rect.h"
#include "SkinUI/skin_render.h"
#include "SkinUI/skin_values.h"

namespace SkinUI {

CControlUI::CControlUI() = default;

CControlUI::~CControlUI() {
    if (m_manager) m_manager->ForgetControl(this);
}

std::wstring CControlUI::ClassName() const { return L"ControlUI"; }

void* CControlUI::GetInterface(const std::wstring& name) {
    return name == L"Control" ? this : nullptr;
}

bool CControlUI::Trigger() { return false; }

void CControlUI::BindManager(CSkinManagerUI* manager, CControlUI* parent, bool initialise) {
    m_manager = manager;
    m_parent = parent;
    if (initialise && manager) manager->RegisterName(this);
}

std::wstring CControlUI::GetControlText() const { return m_text; }

void CControlUI::SetControlText(const std::wstring& text) {
    if (m_text == text) return;
    m_text = text;
    Invalidate();
}

// Names are registered when the tree is attached (or the control added to an attached tree).
void CControlUI::SetName(const std::wstring& name) { m_name = name; }

void CControlUI::Arrange(RECT rc, bool invalidate) {
    if (rc.right < rc.left) rc.right = rc.left;
    if (rc.bottom < rc.top) rc.bottom = rc.top;
    if (::EqualRect(&rc, &m_rect)) return;
    if (invalidate && m_manager) m_manager->Invalidate(m_rect);
    m_rect = rc;
    if (invalidate && m_manager) m_manager->Invalidate(m_rect);
}

void CControlUI::SetShown(bool visible) {
    if (m_visible == visible) return;
    m_visible = visible;
    if (!visible && m_manager && m_manager->GetFocusControl() == this) m_manager->SetFocusControl(nullptr);
    RequestLayout();
}

void CControlUI::TakeFocus() {
    if (m_manager) m_manager->SetFocusControl(this);
}

bool CControlUI::IsFocused() const { return m_manager && m_manager->GetFocusControl() == this; }

void CControlUI::SetEnabled(bool enabled) {
    if (m_enabled == enabled) return;
    m_enabled = enabled;
    Invalidate();
}

bool CControlUI::PassesWalkFilter(void* data, UINT flags) const {
    if ((flags & kFindVisible) && !IsVisible()) return false;
    if ((flags & kFindEnabled) && !IsEnabled()) return false;
    return !(flags & kFindHitTest) || Contains(m_rect, *static_cast<POINT*>(data));
}

CControlUI* CControlUI::WalkTree(FindCallback callback, void* data, UINT flags) {
    return PassesWalkFilter(data, flags) ? callback(this, data) : nullptr;
}

void CControlUI::HandleEvent(ControlEvent& event) {
    switch (event.type) {
    case kEventSetCursor:
        ::SetCursor(::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW)));
        return;
    case kEventSetFocus:
    case kEventKillFocus:
        Invalidate();
        return;
    default:
        // Unhandled mouse events bubble up (a container may act on them).
        if (m_parent && IsMouseEvent(event.type)) m_parent->HandleEvent(event);
        return;
    }
}

void CControlUI::ApplyAttribute(const std::wstring& name, const std::wstring& value) {
    if (name == L"name") SetName(value);
    else if (name == L"text") SetControlText(value);
    else if (name == L"tooltip") SetTooltip(value);
    else if (name == L"visible") SetShown(ParseBoolean(value));
    else if (name == L"enabled") SetEnabled(ParseBoolean(value));
    else if (name == L"mouse") SetMouseEnabled(ParseBoolean(value));
    else if (name == L"keyboard") SetKeyboardEnabled(ParseBoolean(value));
    else if (name == L"width") SetFixedWidth(ParseInteger(value));
    else if (name == L"height") SetFixedHeight(ParseInteger(value));
    else if (name == L"minwidth") { m_minWidth = std::max(0, ParseInteger(value)); RequestLayout(); }
    else if (name == L"minheight") { m_minHeight = std::max(0, ParseInteger(value)); RequestLayout(); }
    else if (name == L"maxwidth") { m_maxWidth = std::max(0, ParseInteger(value)); RequestLayout(); }
    else if (name == L"maxheight") { m_maxHeight = std::max(0, ParseInteger(value)); RequestLayout(); }
    else if (name == L"padding") SetPadding(ToRect(ParseRect(value)));
    else if (name == L"bkcolor") SetBackgroundColour(ParseColour(value));
    else if (name == L"bkimage") SetBackgroundImage(value);
    else if (name == L"shortcut" && !value.empty()) m_shortcut = static_cast<wchar_t>(::towupper(value[0]));
}

SIZE CControlUI::Measure(SIZE) { return SIZE{m_fixedWidth, m_fixedHeight}; }

void CControlUI::SetFixedWidth(int cx) {
    if (cx < 0) cx = 0;
    if (cx == m_fixedWidth) return;
    m_fixedWidth = cx;
    RequestLayout();
}

void CControlUI::SetFixedHeight(int cy) {
    if (cy < 0) cy = 0;
    if (cy == m_fixedHeight) return;
    m_fixedHeight = cy;
    RequestLayout();
}

void CControlUI::SetPadding(const RECT& padding) {
    m_padding = padding;
    RequestLayout();
}

void CControlUI::SetBackgroundColour(DWORD argb) {
    if (m_bkColour == argb) return;
    m_bkColour = argb;
    Invalidate();
}

void CControlUI::SetBackgroundImage(const std::wstring& descriptor) {
    if (m_bkImage.text == descriptor) return;
    m_bkImage.Set(descriptor);
    Invalidate();
}

void CControlUI::Invalidate() {
    if (m_manager && m_visible) m_manager->Invalidate(m_rect);
}

void CControlUI::RequestLayout() {
    if (m_manager) m_manager->RequestLayout();
}

void CControlUI::CallNotifyDelegates(NotifyRecord& record) {
    std::vector<std::function<void(NotifyRecord&)>> delegates = m_delegates;
    for (auto& d : delegates) d(record);
}

void CControlUI::Paint(HDC dc, const RECT& paintRect) {
    if (!::IntersectRect(&m_paintRect, &paintRect, &m_rect)) return;
    PaintBackgroundColour(dc);
    PaintBackgroundImage(dc);
    PaintStateImage(dc);
    PaintLabelText(dc);
    PaintFrame(dc);
}

void CControlUI::PaintBackgroundColour(HDC dc) { FillColour(dc, m_bkColour); }

void CControlUI::PaintBackgroundImage(HDC dc) { DrawImage(dc, m_bkImage); }

void CControlUI::PaintStateImage(HDC) {}
void CControlUI::PaintLabelText(HDC) {}
void CControlUI::PaintFrame(HDC) {}
void CControlUI::PaintAfterChildren(HDC) {}

bool CControlUI::DrawImage(HDC dc, ImageSlot& slot, const SkinRect* dest, const SkinRect* source) {
    if (slot.Empty() || !m_manager) return false;
    if (!slot.resolved) {
        slot.resolved = true;
        slot.descriptor = ParseImageDescriptor(slot.text);
        slot.image = m_manager->LoadSkinImage(slot.descriptor);
    }
    if (!slot.image) return false;
    DrawSkinImage(dc, *slot.image, m_rect, m_paintRect, dest ? *dest : slot.descriptor.dest,
                  source ? *source : slot.descriptor.source, slot.descriptor.fade);
    return true;
}

void CControlUI::FillColour(HDC dc, DWORD argb) {
    RECT rc;
    if (::IntersectRect(&rc, &m_rect, &m_paintRect)) FillArgb(dc, rc, argb);
}

}  // namespace SkinUI
