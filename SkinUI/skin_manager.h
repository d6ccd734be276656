// The paint manager: one per window. It owns the window's control tree, fonts and images,
// lays the tree out before painting, paints it, routes mouse and keyboard input to the
// controls and delivers their notifications to the registered notifiers.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "SkinUI/skin_defs.h"
#include "SkinUI/skin_image_desc.h"

namespace SkinUI {

// A decoded image: a premultiplied 32-bit top-down DIB section.
struct SkinImage {
    HBITMAP bitmap = nullptr;
    int width = 0;
    int height = 0;
    bool hasAlpha = false;
};

struct SkinFont {
    HFONT font = nullptr;
    LOGFONTW description{};
    int textHeight = 0;   // tmHeight of the font
};

class CSkinManagerUI {
public:
    CSkinManagerUI();
    ~CSkinManagerUI();   // destroys the control tree, the fonts and the images
    CSkinManagerUI(const CSkinManagerUI&) = delete;
    CSkinManagerUI& operator=(const CSkinManagerUI&) = delete;

    // Binds the manager to its window and lists it among the managers that pre-filter the
    // messages of the thread's loops. UnbindWindow undoes it (the window base calls it when
    // the window is destroyed).
    void BindWindow(HWND hwnd);
    void UnbindWindow();
    HWND GetWindowHandle() const { return m_hwnd; }

    // Makes `root` the window's tree (the manager owns it) and registers the controls' names.
    bool AttachTree(CControlUI* root);
    CControlUI* GetRoot() const { return m_root; }
    // The control of that name, or null.
    CControlUI* LookupControl(const std::wstring& name) const;
    // The topmost visible, mouse-enabled control under a client point, or null.
    CControlUI* LookupControl(POINT pt) const;
    // Drops every reference to a control that is going away (or to the subtree it heads).
    void ForgetControl(CControlUI* control);
    void RegisterName(CControlUI* control);

    void AddNotifyTarget(INotifyUI* target);
    void RemoveNotifyTarget(INotifyUI* target);
    void AddMessageFilter(IMessageFilterUI* filter);
    void RemoveMessageFilter(IMessageFilterUI* filter);
    // Sends a notification: synchronously to the sender's delegates and then to each
    // notifier in order of registration, or queued for the window's next message turn.
    void DispatchNotification(CControlUI* sender, const std::wstring& type, WPARAM wParam = 0, LPARAM lParam = 0,
                              bool async = false);

    // Fonts. Ids of 0 or more name fonts of the window's table, then of the process-wide
    // shared table; anything else, or an id not in the tables, gives the default font.
    HFONT AddFont(int id, const std::wstring& face, int size, bool bold, bool underline, bool italic,
                  bool shared = false);
    void SetDefaultFont(const std::wstring& face, int size, bool bold, bool underline, bool italic,
                        bool shared = false);
    HFONT LookupFont(int id) const;
    int LookupFontHeight(int id) const;   // the font's text height (tmHeight)

    // Folder of file skins and file images (trailing backslash); the window base sets it.
    void SetResourceFolder(const std::wstring& folder) { m_resourceFolder = folder; }
    const std::wstring& GetResourceFolder() const { return m_resourceFolder; }

    // Images, cached by name; null when the image cannot be loaded.
    const SkinImage* LoadSkinImage(const ImageDescriptor& descriptor);

    // Default attribute lists by element name (applied by the builder before an element's own).
    void AddDefaultAttributeList(const std::wstring& element, const std::wstring& attributes);
    const std::wstring* GetDefaultAttributeList(const std::wstring& element) const;

    void SetInitialSize(int cx, int cy);   // resizes the window at once while no tree is attached
    void SetCaptionArea(const RECT& rc) { m_caption = rc; }
    const RECT& GetCaptionArea() const { return m_caption; }
    void SetCornerSize(int cx, int cy) { m_corner = SIZE{cx, cy}; }
    SIZE GetCornerSize() const { return m_corner; }
    void SetSizeBox(const RECT& rc) { m_sizeBox = rc; }
    const RECT& GetSizeBox() const { return m_sizeBox; }
    void SetMinInfo(int cx, int cy) { m_minInfo = SIZE{cx, cy}; }
    SIZE GetMinInfo() const { return m_minInfo; }
    void SetMaxInfo(int cx, int cy) { m_maxInfo = SIZE{cx, cy}; }
    void SetBackgroundTransparent(bool on) { m_bkTransparent = on; }
    void SetDefaultTextColour(DWORD argb) { m_defaultTextColour = argb; }
    DWORD GetDefaultTextColour() const { return m_defaultTextColour; }
    void SetDefaultDisabledColour(DWORD argb) { m_disabledTextColour = argb; }
    DWORD GetDefaultDisabledColour() const { return m_disabledTextColour; }

    // Marks the tree for layout; the next WM_PAINT arranges it once for any number of changes.
    void RequestLayout();
    void Invalidate(const RECT& rc);

    CControlUI* GetFocusControl() const { return m_focus; }
    void SetFocusControl(CControlUI* control);

    // The window's messages (after the window's own handlers). True when consumed.
    bool MessageHandler(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
    // Before translation: the message filters, then Tab, Alt+shortcut and system keys.
    bool PreMessageHandler(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

    // Thread-safe snapshot of the filtering managers of the calling thread, newest first.
    static std::vector<CSkinManagerUI*> ThreadManagers();
    static bool IsManagerListed(CSkinManagerUI* manager);

    // Paints the tree into `dc` (client coordinates), laying it out first when needed.
    void PaintTree(HDC dc, const RECT& paintRect);

private:
    // Set once per process by the first manager: the default font, AlphaBlend, common controls.
    static void EnsureProcessDefaults();
    SkinFont FindFont(int id) const;
    void SendEvent(CControlUI* control, int type, WPARAM key = 0, LPARAM lParam = 0, POINT* at = nullptr);
    void Deliver(NotifyRecord& record);
    void LayoutIfNeeded();
    void FlushAsyncNotifications();
    void ShowTooltip();
    void HideTooltip();
    void MoveFocus(bool forward);
    void ClearHotControl();
    void TrackMouse();

    // Handlers of MessageHandler, one per message: true when the message is consumed.
    bool OnClose();
    bool OnEraseBackground(LRESULT& result);
    bool OnPaint();
    bool OnPrintClient(HDC dc);
    bool OnSize();
    bool OnMouseMove(LPARAM lParam);
    bool OnMouseLeave();
    bool OnMouseHover();
    bool OnButtonDown(int eventType, LPARAM lParam);   // left button down or double click
    bool OnButtonUp(LPARAM lParam);
    bool OnRightButtonDown(LPARAM lParam);
    bool OnContextMenu(LPARAM lParam);
    bool OnMouseWheel(WPARAM wParam, LPARAM lParam);
    bool OnSetCursor(LPARAM lParam, LRESULT& result);
    bool OnKey(int eventType, WPARAM wParam, LPARAM lParam);   // key down, key up, character

    HWND m_hwnd = nullptr;
    CControlUI* m_root = nullptr;
    CControlUI* m_hot = nullptr;
    CControlUI* m_click = nullptr;
    CControlUI* m_focus = nullptr;
    std::map<std::wstring, CControlUI*> m_names;
    std::vector<INotifyUI*> m_notifiers;
    std::vector<IMessageFilterUI*> m_filters;
    std::deque<NotifyRecord> m_asyncQueue;
    std::map<std::wstring, SkinFont> m_fonts;
    std::unique_ptr<SkinFont> m_defaultFont;   // a window's own default font, when set
    std::map<std::wstring, std::unique_ptr<SkinImage>> m_images;
    std::map<std::wstring, std::wstring> m_defaultAttributes;
    SIZE m_initialSize{0, 0};
    RECT m_caption{}, m_sizeBox{};
    SIZE m_corner{0, 0}, m_minInfo{0, 0}, m_maxInfo{0, 0};
    bool m_bkTransparent = false;
    DWORD m_defaultTextColour, m_disabledTextColour;
    bool m_layoutNeeded = true;
    bool m_firstLayout = true;
    bool m_tracking = false;
    POINT m_lastMouse{0, 0};
    HWND m_tooltip = nullptr;
    std::wstring m_tooltipText;
    std::wstring m_resourceFolder;
};

}  // namespace SkinUI
