// The controls of a skin: lightweight objects without windows of their own, owned by their
// container (and the root by the window's paint manager). Windows hold them only as
// non-owning pointers found with CSkinManagerUI::LookupControl.
//
// Typical use in a window:
//   auto* label = static_cast<SkinUI::CLabelUI*>(m_manager.LookupControl(L"tipsLabel"));
//   if (label) { label->SetControlText(L"..."); label->SetLabelTextColour(0xFF333333); }
//   if (auto* p = static_cast<SkinUI::CProgressUI*>(m_manager.LookupControl(L"downloadProgress")))
//       p->SetProgressValue(37);
//   if (auto* c = m_manager.LookupControl(L"closeButton")) c->SetShown(true);
// Colours are 0xAARRGGBB; 0 means "use the paint manager's default" for text colours.
// Every setter that changes what is shown repaints the control; visibility changes re-layout.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "SkinUI/skin_defs.h"
#include "SkinUI/skin_image_desc.h"

namespace SkinUI {

// An image attribute: the descriptor text, parsed and loaded on its first paint and kept
// (a failed load is not retried until the text changes).
struct ImageSlot {
    std::wstring text;
    bool resolved = false;
    ImageDescriptor descriptor;
    const struct SkinImage* image = nullptr;
    void Set(const std::wstring& t) { text = t; resolved = false; image = nullptr; }
    bool Empty() const { return text.empty(); }
};

using FindCallback = CControlUI* (*)(CControlUI* control, void* data);

class CControlUI {
public:
    CControlUI();
    CControlUI(const CControlUI&) = delete;
    CControlUI& operator=(const CControlUI&) = delete;

    virtual ~CControlUI();
    virtual std::wstring ClassName() const;
    // The object for one of its interface names ("Control", "Button", "IContainer" ...), or null.
    virtual void* GetInterface(const std::wstring& name);
    virtual bool Trigger();   // the control's action (a button sends "click"); false when it cannot act
    virtual void BindManager(CSkinManagerUI* manager, CControlUI* parent, bool initialise);
    virtual std::wstring GetControlText() const;
    virtual void SetControlText(const std::wstring& text);
    virtual void Arrange(RECT rc, bool invalidate = true);
    virtual void SetShown(bool visible);
    virtual void TakeFocus();
    virtual CControlUI* WalkTree(FindCallback callback, void* data, UINT flags);
    virtual void HandleEvent(ControlEvent& event);
    virtual void ApplyAttribute(const std::wstring& name, const std::wstring& value);
    virtual SIZE Measure(SIZE available);
    virtual void Paint(HDC dc, const RECT& paintRect);
    virtual void PaintBackgroundColour(HDC dc);
    virtual void PaintBackgroundImage(HDC dc);
    virtual void PaintStateImage(HDC dc);
    virtual void PaintLabelText(HDC dc);
    virtual void PaintFrame(HDC dc);
    virtual void PaintAfterChildren(HDC dc);
    virtual bool AcceptsFocus() const { return false; }   // a tab stop

    const std::wstring& GetName() const { return m_name; }
    void SetName(const std::wstring& name);
    const std::wstring& GetTooltip() const { return m_tooltip; }
    void SetTooltip(const std::wstring& text) { m_tooltip = text; }
    wchar_t GetShortcut() const { return m_shortcut; }

    bool IsVisible() const { return m_visible; }
    bool IsEnabled() const { return m_enabled; }
    void SetEnabled(bool enabled);
    bool IsMouseEnabled() const { return m_mouseEnabled; }
    void SetMouseEnabled(bool enabled) { m_mouseEnabled = enabled; }
    bool IsKeyboardEnabled() const { return m_keyboardEnabled; }
    void SetKeyboardEnabled(bool enabled) { m_keyboardEnabled = enabled; }
    bool IsFloat() const { return m_float; }
    bool IsFocused() const;

    const RECT& GetPos() const { return m_rect; }   // placed rectangle, client coordinates
    int GetFixedWidth() const { return m_fixedWidth; }
    int GetFixedHeight() const { return m_fixedHeight; }
    void SetFixedWidth(int cx);
    void SetFixedHeight(int cy);
    int GetMinWidth() const { return m_minWidth; }
    int GetMaxWidth() const { return m_maxWidth; }
    int GetMinHeight() const { return m_minHeight; }
    int GetMaxHeight() const { return m_maxHeight; }
    const RECT& GetPadding() const { return m_padding; }
    void SetPadding(const RECT& padding);
    void SetBackgroundColour(DWORD argb);
    void SetBackgroundImage(const std::wstring& descriptor);

    CSkinManagerUI* GetManager() const { return m_manager; }
    CControlUI* GetParent() const { return m_parent; }

    void Invalidate();          // repaint this control
    void RequestLayout();       // lay the window out again before the next paint

    // Called with every notification this control sends, before the window's notifiers.
    void AddNotifyDelegate(std::function<void(NotifyRecord&)> delegate) { m_delegates.push_back(std::move(delegate)); }
    void CallNotifyDelegates(NotifyRecord& record);

protected:
    // Whether WalkTree may visit this control under `flags` (data: the point of a hit test).
    bool PassesWalkFilter(void* data, UINT flags) const;
    bool DrawImage(HDC dc, ImageSlot& slot, const SkinRect* dest = nullptr, const SkinRect* source = nullptr);
    void FillColour(HDC dc, DWORD argb);
    RECT m_paintRect{};   // the part being painted, valid inside Paint

    CSkinManagerUI* m_manager = nullptr;
    CControlUI* m_parent = nullptr;
    std::wstring m_name, m_text, m_tooltip;
    wchar_t m_shortcut = 0;
    bool m_visible = true, m_enabled = true, m_mouseEnabled = true, m_keyboardEnabled = true, m_float = false;
    RECT m_rect{};
    int m_fixedWidth = 0, m_fixedHeight = 0;
    int m_minWidth = 0, m_minHeight = 0, m_maxWidth = 9999, m_maxHeight = 9999;
    RECT m_padding{};
    DWORD m_bkColour = 0;
    ImageSlot m_bkImage;
    std::vector<std::function<void(NotifyRecord&)>> m_delegates;
};

class IContainerUI {
public:
    virtual CControlUI* GetItemAt(int index) const = 0;
    virtual int GetCount() const = 0;
    virtual bool Add(CControlUI* control) = 0;
    virtual bool AddAt(CControlUI* control, int index) = 0;
    virtual bool Remove(CControlUI* control) = 0;   // destroys the control
    virtual void RemoveAll() = 0;
protected:
    ~IContainerUI() = default;
};

class CContainerUI : public CControlUI, public IContainerUI {
public:
    ~CContainerUI() override;
    std::wstring ClassName() const override;
    void* GetInterface(const std::wstring& name) override;
    void BindManager(CSkinManagerUI* manager, CControlUI* parent, bool initialise) override;
    void Arrange(RECT rc, bool invalidate = true) override;
    CControlUI* WalkTree(FindCallback callback, void* data, UINT flags) override;
    void ApplyAttribute(const std::wstring& name, const std::wstring& value) override;
    void Paint(HDC dc, const RECT& paintRect) override;

    CControlUI* GetItemAt(int index) const override;
    int GetCount() const override { return static_cast<int>(m_items.size()); }
    bool Add(CControlUI* control) override;
    bool AddAt(CControlUI* control, int index) override;
    bool Remove(CControlUI* control) override;
    void RemoveAll() override;

    const RECT& GetInset() const { return m_inset; }
    void SetInset(const RECT& inset);
    int GetChildPadding() const { return m_childPadding; }
    void SetChildPadding(int padding);

protected:
    RECT ContentBox() const;
    std::vector<CControlUI*> m_items;   // owned
    RECT m_inset{};
    int m_childPadding = 0;
};

// The layouts place their children along one axis; they read no attributes of their own (an
// "align" on a layout is ignored).
class CVerticalLayoutUI : public CContainerUI {
public:
    std::wstring ClassName() const override;
    void* GetInterface(const std::wstring& name) override;
    void Arrange(RECT rc, bool invalidate = true) override;
};

class CHorizontalLayoutUI : public CContainerUI {
public:
    std::wstring ClassName() const override;
    void* GetInterface(const std::wstring& name) override;
    void Arrange(RECT rc, bool invalidate = true) override;
};

class CLabelUI : public CControlUI {
public:
    std::wstring ClassName() const override;
    void* GetInterface(const std::wstring& name) override;
    void ApplyAttribute(const std::wstring& name, const std::wstring& value) override;
    SIZE Measure(SIZE available) override;
    void PaintLabelText(HDC dc) override;

    // Text colour 0xAARRGGBB (alpha ignored); 0 takes the paint manager's default at paint time.
    void SetLabelTextColour(DWORD argb);
    DWORD GetLabelTextColour() const { return m_textColour; }
    void SetDisabledTextColour(DWORD argb);
    void SetFontId(int id);   // font id of the skin's Font table; -1 = the default font
    void SetTextStyle(UINT dtFlags);
    void SetTextPadding(const RECT& padding);

protected:
    int TextHeight() const;
    void TakeDefaultColours();
    void DrawLabelText(HDC dc, DWORD colour);
    UINT m_textStyle = DT_VCENTER;
    int m_font = -1;
    DWORD m_textColour = 0, m_disabledTextColour = 0;
    RECT m_textPadding{};
};

class CButtonUI : public CLabelUI {
public:
    CButtonUI();
    std::wstring ClassName() const override;
    void* GetInterface(const std::wstring& name) override;
    bool Trigger() override;   // sends "click" synchronously unless hidden or disabled
    void HandleEvent(ControlEvent& event) override;
    void ApplyAttribute(const std::wstring& name, const std::wstring& value) override;
    SIZE Measure(SIZE available) override;
    void PaintStateImage(HDC dc) override;
    void PaintLabelText(HDC dc) override;
    bool AcceptsFocus() const override { return true; }

    UINT GetState() const { return m_state; }
    void SetNormalImage(const std::wstring& descriptor);
    void SetHotImage(const std::wstring& descriptor);
    void SetPushedImage(const std::wstring& descriptor);
    void SetFocusedImage(const std::wstring& descriptor);
    void SetDisabledImage(const std::wstring& descriptor);
    void SetForeImage(const std::wstring& descriptor);
    void SetHotForeImage(const std::wstring& descriptor);
    void SetHotBackgroundColour(DWORD argb);
    // Text colours of the hot (pointer over it), pushed and focused states; 0 = the ordinary one.
    void SetHoverTextColour(DWORD argb);
    void SetPressedTextColour(DWORD argb);
    void SetFocusedTextColour(DWORD argb);

protected:
    bool DrawOrNormal(HDC dc, ImageSlot& slot);
    UINT m_state = 0;
    ImageSlot m_normal, m_hot, m_pushed, m_focused, m_disabled, m_fore, m_hotFore, m_pushedFore;
    DWORD m_hotBkColour = 0, m_hotTextColour = 0, m_pushedTextColour = 0, m_focusedTextColour = 0;
    bool m_hasContextMenu = false;
};

class CProgressUI : public CLabelUI {
public:
    CProgressUI();
    std::wstring ClassName() const override;
    void* GetInterface(const std::wstring& name) override;
    void ApplyAttribute(const std::wstring& name, const std::wstring& value) override;
    void PaintStateImage(HDC dc) override;

    void SetProgressValue(int value);
    void SetRange(int minimum, int maximum);
    void SetHorizontal(bool horizontal);
    void SetForeImage(const std::wstring& descriptor);
    void SetStretchFore(bool stretch);

protected:
    bool m_horizontal = true;
    int m_min = 0, m_max = 100, m_value = 0;
    ImageSlot m_foreImage;
    bool m_stretchFore = true;
};

}  // namespace SkinUI
