// Containers: CContainerUI (owns its children, paints them clipped to its content box) and
// the two layouts, which place their children along one axis.
#include "SkinUI/skin_controls.h"

#include <algorithm>

#include "SkinUI/skin_layout.h"
#include "SkinUI/skin_rect.h"
#include "SkinUI/skin_values.h"

namespace SkinUI {
namespace {

// Shared by both layouts: collects the children's layout inputs and places them.
void ArrangeChildren(CContainerUI& box, const std::vector<CControlUI*>& items, bool horizontal) {
    std::vector<LayoutChild> kids(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        CControlUI* c = items[i];
        LayoutChild& k = kids[i];
        k.visible = c->IsVisible();
        k.isFloat = c->IsFloat();
        k.padding = ToSkinRect(c->GetPadding());
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
        ? ArrangeHorizontal(ToSkinRect(rc), ToSkinRect(box.GetInset()), box.GetChildPadding(), kids, measure)
        : ArrangeVertical(ToSkinRect(rc), ToSkinRect(box.GetInset()), box.GetChildPadding(), kids, measure);
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

CControlUI* CContainerUI::WalkTree(FindCallback callback, void* data, UINT flags) {
    if (!PassesWalkFilter(data, flags)) return nullptr;
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

std::wstring CHorizontalLayoutUI::ClassName() const { return L"HorizontalLayoutUI"; }
void* CHorizontalLayoutUI::GetInterface(const std::wstring& name) {
    return name == L"HorizontalLayout" ? this : CContainerUI::GetInterface(name);
}
void CHorizontalLayoutUI::Arrange(RECT rc, bool invalidate) {
    CControlUI::Arrange(rc, invalidate);
    if (!m_items.empty()) ArrangeChildren(*this, m_items, true);
}

}  // namespace SkinUI
