#include "SkinUI/skin_controls.h"

#include <algorithm>

#include "SkinUI/skin_layout.h"
#include "SkinUI/skin_manager.h"
#include "SkinUI/skin_render.h"
#include "SkinUI/skin_values.h"

namespace SkinUI {
namespace {

RECT ToRect(const SkinRect& r) { return RECT{r.left, r.top, r.right, r.bottom}; }
SkinRect ToSkin(const RECT& r) { return SkinRect{r.left, r.top, r.right, r.bottom}; }

bool Contains(const RECT& rc, POINT pt) { return ::PtInRect(&rc, pt) != FALSE; }

// Shared by both layouts: collects the children's layout inputs and places them.
void ArrangeChildren(CContainerUI& box, const std::vector<CControlUI*>& items, bool horizontal) {
    std::vector<LayoutChild> kids(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        CControlUI* c = items[i];
        LayoutChild& k = kids[i];
        k.visible = c->IsVisible();
        k.isFloat = c->IsFloat();
        k.padding = ToSkin(c->GetPadding());
        k.fixedWidth = c->GetFixedWidth();
        k.fixedHeight = c->GetFixedHeight();
        k.minWidth = c->GetMinWidth();
        k.maxWidth = c->GetMaxWidth();
        k.minHeight = c->GetMinHeight();
        k.maxHeight = c->GetMaxHeight();
    }
    MeasureFn measure = [&items](std::size_t i, SkinSize avail) {
        SIZE s = items[i]->Measure(SIZE{avail.cx, avail.cy});
        return SkinSize{s.cx, s.cy};
    };
    const RECT& rc = box.GetPos();
    std::vector<SkinRect> placed = horizontal
        ? ArrangeHorizontal(ToSkin(rc), ToSkin(box.GetInset()), box.GetChildPadding(), kids, measure)
        : ArrangeVertical(ToSkin(rc), ToSkin(box.GetInset()), box.GetChildPadding(), kids, measure);
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!kids[i].visible) continue;
        if (kids[i].isFloat) {
            // Float children keep their fixed size at the content box's corner.
            RECT f{rc.left, rc.top, rc.left + items[i]->GetFixedWidth(), rc.top + items[i]->GetFixedHeight()};
            items[i]->Arrange(f, false);
            continue;
        }
        items[i]->Arrange(ToRect(placed[i]), false);
    }
}

}  // namespace

// ---------------------------------------------------------------- CControlUI

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

CControlUI* CControlUI::WalkTree(FindCallback callback, void* data, UINT flags) {
    if ((flags & kFindVisible) && !IsVisible()) return nullptr;
    if ((flags & kFindEnabled) && !IsEnabled()) return nullptr;
    if ((flags & kFindHitTest) && !Contains(m_rect, *static_cast<POINT*>(data))) return nullptr;
    return callback(this, data);
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

// ---------------------------------------------------------------- CContainerUI

CContainerUI::~CContainerUI() {
    std::vector<CControlUI*> items;
    items.swap(m_items);
    for (CControlUI* c : items) delete c;
}

std::wstring CContainerUI::ClassName() const { return L"ContainerUI"; }

void* CContainerUI::GetInterface(const std::wstring& name) {
    if (name == L"Container") return static_cast<CControlUI*>(this);
    if (name == L"IContainer") return static_cast<IContainerUI*>(this);
    return CControlUI::GetInterface(name);
}

void CContainerUI::BindManager(CSkinManagerUI* manager, CControlUI* parent, bool initialise) {
    for (CControlUI* c : m_items) c->BindManager(manager, this, initialise);
    CControlUI::BindManager(manager, parent, initialise);
}

RECT CContainerUI::ContentBox() const {
    return RECT{m_rect.left + m_inset.left, m_rect.top + m_inset.top, m_rect.right - m_inset.right,
                m_rect.bottom - m_inset.bottom};
}

void CContainerUI::Arrange(RECT rc, bool invalidate) {
    CControlUI::Arrange(rc, invalidate);
    if (m_items.empty()) return;
    // A plain container gives every visible child its whole content box (minus padding).
    RECT content = ContentBox();
    for (CControlUI* c : m_items) {
        if (!c->IsVisible()) continue;
        const RECT& p = c->GetPadding();
        c->Arrange(RECT{content.left + p.left, content.top + p.top, content.right - p.right, content.bottom - p.bottom},
                   false);
    }
}

void CContainerUI::SetShown(bool visible) { CControlUI::SetShown(visible); }

CControlUI* CContainerUI::WalkTree(FindCallback callback, void* data, UINT flags) {
    if ((flags & kFindVisible) && !IsVisible()) return nullptr;
    if ((flags & kFindEnabled) && !IsEnabled()) return nullptr;
    if ((flags & kFindHitTest) && !Contains(m_rect, *static_cast<POINT*>(data))) return nullptr;
    if (flags & kFindMeFirst) {
        if (CControlUI* r = callback(this, data)) return r;
    }
    if (flags & kFindTopFirst) {
        for (auto it = m_items.rbegin(); it != m_items.rend(); ++it)
            if (CControlUI* r = (*it)->WalkTree(callback, data, flags)) return r;
    } else {
        for (CControlUI* c : m_items)
            if (CControlUI* r = c->WalkTree(callback, data, flags)) return r;
    }
    return (flags & kFindMeFirst) ? nullptr : callback(this, data);
}

void CContainerUI::HandleEvent(ControlEvent& event) { CControlUI::HandleEvent(event); }

void CContainerUI::ApplyAttribute(const std::wstring& name, const std::wstring& value) {
    if (name == L"inset") SetInset(ToRect(ParseRect(value)));
    else if (name == L"childpadding") SetChildPadding(ParseInteger(value));
    else CControlUI::ApplyAttribute(name, value);
}

void CContainerUI::Paint(HDC dc, const RECT& paintRect) {
    RECT part;
    if (!::IntersectRect(&part, &paintRect, &m_rect)) return;
    CControlUI::Paint(dc, paintRect);
    if (!m_items.empty()) {
        RECT content = ContentBox();
        RECT clip;
        if (::IntersectRect(&clip, &content, &part)) {
            int saved = ::SaveDC(dc);
            ::IntersectClipRect(dc, clip.left, clip.top, clip.right, clip.bottom);
            for (CControlUI* c : m_items) {
                RECT overlap;
                if (c->IsVisible() && ::IntersectRect(&overlap, &clip, &c->GetPos())) c->Paint(dc, clip);
            }
            ::RestoreDC(dc, saved);
        }
    }
    m_paintRect = part;
    PaintAfterChildren(dc);
}

CControlUI* CContainerUI::GetItemAt(int index) const {
    return index >= 0 && index < GetCount() ? m_items[static_cast<std::size_t>(index)] : nullptr;
}

bool CContainerUI::Add(CControlUI* control) { return AddAt(control, GetCount()); }

bool CContainerUI::AddAt(CControlUI* control, int index) {
    if (!control || index < 0 || index > GetCount()) return false;
    m_items.insert(m_items.begin() + index, control);
    if (m_manager) control->BindManager(m_manager, this, true);
    else control->BindManager(nullptr, this, false);
    RequestLayout();
    return true;
}

bool CContainerUI::Remove(CControlUI* control) {
    auto it = std::find(m_items.begin(), m_items.end(), control);
    if (it == m_items.end()) return false;
    m_items.erase(it);
    delete control;
    RequestLayout();
    return true;
}

void CContainerUI::RemoveAll() {
    std::vector<CControlUI*> items;
    items.swap(m_items);
    for (CControlUI* c : items) delete c;
    RequestLayout();
}

void CContainerUI::SetInset(const RECT& inset) {
    m_inset = inset;
    RequestLayout();
}

void CContainerUI::SetChildPadding(int padding) {
    m_childPadding = padding;
    RequestLayout();
}

// ---------------------------------------------------------------- layouts

std::wstring CVerticalLayoutUI::ClassName() const { return L"VerticalLayoutUI"; }
void* CVerticalLayoutUI::GetInterface(const std::wstring& name) {
    return name == L"VerticalLayout" ? this : CContainerUI::GetInterface(name);
}
void CVerticalLayoutUI::Arrange(RECT rc, bool invalidate) {
    CControlUI::Arrange(rc, invalidate);
    if (!m_items.empty()) ArrangeChildren(*this, m_items, false);
}
void CVerticalLayoutUI::HandleEvent(ControlEvent& event) { CContainerUI::HandleEvent(event); }
void CVerticalLayoutUI::ApplyAttribute(const std::wstring& name, const std::wstring& value) {
    CContainerUI::ApplyAttribute(name, value);   // "align" and the like are not layout attributes
}
void CVerticalLayoutUI::PaintAfterChildren(HDC) {}

std::wstring CHorizontalLayoutUI::ClassName() const { return L"HorizontalLayoutUI"; }
void* CHorizontalLayoutUI::GetInterface(const std::wstring& name) {
    return name == L"HorizontalLayout" ? this : CContainerUI::GetInterface(name);
}
void CHorizontalLayoutUI::Arrange(RECT rc, bool invalidate) {
    CControlUI::Arrange(rc, invalidate);
    if (!m_items.empty()) ArrangeChildren(*this, m_items, true);
}
void CHorizontalLayoutUI::HandleEvent(ControlEvent& event) { CContainerUI::HandleEvent(event); }
void CHorizontalLayoutUI::ApplyAttribute(const std::wstring& name, const std::wstring& value) {
    CContainerUI::ApplyAttribute(name, value);
}
void CHorizontalLayoutUI::PaintAfterChildren(HDC) {}

// ---------------------------------------------------------------- CLabelUI

std::wstring CLabelUI::ClassName() const { return L"LabelUI"; }
void* CLabelUI::GetInterface(const std::wstring& name) {
    return name == L"Label" ? this : CControlUI::GetInterface(name);
}
std::wstring CLabelUI::GetControlText() const { return m_text; }
void CLabelUI::SetControlText(const std::wstring& text) { CControlUI::SetControlText(text); }
void CLabelUI::HandleEvent(ControlEvent& event) { CControlUI::HandleEvent(event); }

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

void CLabelUI::PaintLabelText(HDC dc) {
    if (!m_manager) return;
    if (m_textColour == 0) m_textColour = m_manager->GetDefaultTextColour();
    if (m_disabledTextColour == 0) m_disabledTextColour = m_manager->GetDefaultDisabledColour();
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
    if (m_textColour == 0) m_textColour = m_manager->GetDefaultTextColour();
    if (m_disabledTextColour == 0) m_disabledTextColour = m_manager->GetDefaultDisabledColour();
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
