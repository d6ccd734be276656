// Window base classes. CWindowWnd wraps one system window; WindowImplBase is a frameless,
// skinned window whose client area is drawn entirely by its paint manager from a skin.
//
// A window derives from WindowImplBase, supplies WindowClassName, SkinFolderPath and
// SkinSource (and SkinSourceKind 3 for skins in the executable's resources), and creates
// itself with CreateFrame. By the time CreateFrame returns the skin is built and OnSkinBuilt
// has run, so controls can be looked up with m_manager.LookupControl(name).
#pragma once

#include <string>

#include "SkinUI/skin_defs.h"
#include "SkinUI/skin_manager.h"

namespace SkinUI {

class CWindowWnd {
public:
    CWindowWnd() = default;
    virtual ~CWindowWnd() = default;
    CWindowWnd(const CWindowWnd&) = delete;
    CWindowWnd& operator=(const CWindowWnd&) = delete;

    HWND GetHWND() const { return m_hwnd; }
    operator HWND() const { return m_hwnd; }

    // Registers the class (once per process) and creates the window; null on failure.
    HWND CreateFrame(HWND parent, const wchar_t* name, DWORD style, DWORD exStyle, int x = CW_USEDEFAULT,
                     int y = CW_USEDEFAULT, int cx = CW_USEDEFAULT, int cy = CW_USEDEFAULT, HMENU menu = nullptr);
    // SW_HIDE, SW_SHOWNORMAL (takeFocus) or SW_SHOWNOACTIVATE; nothing once the window is gone.
    void ShowFrame(bool show = true, bool takeFocus = true);
    // Shows the window, disables its owner and pumps the thread's messages until the window
    // is gone. Returns the wParam of the last WM_CLOSE posted to it (CloseWithCode), else 0.
    // A WM_QUIT ends the loop and is posted again for the outer loop.
    UINT RunModal();
    // Posts WM_CLOSE with wParam = code, if the window still exists.
    void CloseWithCode(UINT code = IDOK);
    // Centres on the owner (or on the work area when there is none or it is minimised),
    // kept inside the work area.
    void CentreOnOwner();
    // Sets the big and small window icons from an icon resource of the module instance.
    void SetWindowIcon(UINT resourceId);

    // Runs the thread's message loop until WM_QUIT.
    static void RunMessageLoop();
    // Offers a message to the paint managers of the target window (and, for a child window,
    // of its ancestors): true when consumed, so that it must not be dispatched.
    static bool PreTranslate(MSG* msg);

protected:
    virtual std::wstring WindowClassName() const = 0;
    virtual std::wstring GetBaseClassName() const { return std::wstring(); }   // no superclassing
    virtual UINT WindowClassStyle() const { return CS_DBLCLKS; }
    virtual LRESULT ProcessMessage(UINT message, WPARAM wParam, LPARAM lParam);
    virtual void OnWindowDestroyed() {}

    bool RegisterWindowClass();
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    HWND m_hwnd = nullptr;
    WNDPROC m_previousProc = ::DefWindowProcW;
    bool m_subclassed = false;
};

// Routes notifications to handlers by type (and virtual-window name) through message maps.
class CNotifyPump {
public:
    using RecordHandler = void (*)(CNotifyPump* self, NotifyRecord& record);
    using ParamHandler = LRESULT (*)(CNotifyPump* self, WPARAM wParam, LPARAM lParam);
    struct MapEntry {
        const wchar_t* type;
        const wchar_t* virtualWindow;   // empty matches any
        int signature;                  // 1: ParamHandler, 2: RecordHandler
        RecordHandler onRecord;
        ParamHandler onParams;
    };
    struct MessageMap {
        const MessageMap* base;
        const MapEntry* entries;
        std::size_t count;
    };

    virtual ~CNotifyPump() = default;
    // Calls the handler of the first map (the window's own, then its bases') with an entry for
    // the record; false when none has one.
    bool NotifyPump(NotifyRecord& record);
    virtual const MessageMap* GetMessageMap() const { return nullptr; }
};

class WindowImplBase : public CWindowWnd,
                       public CNotifyPump,
                       public INotifyUI,
                       public IMessageFilterUI,
                       public IDialogBuilderCallback {
public:
    WindowImplBase() = default;
    ~WindowImplBase() override = default;

    CSkinManagerUI& GetManager() { return m_manager; }
    CControlUI* LookupControl(const std::wstring& name) const { return m_manager.LookupControl(name); }

    // INotifyUI: the message maps ("click" -> HandleClick).
    void OnNotification(NotifyRecord& record) override;
    // IMessageFilterUI: Enter and Escape key-downs go to HandleDefaultKey.
    LRESULT FilterMessage(UINT message, WPARAM wParam, LPARAM lParam, bool& handled) override;
    // IDialogBuilderCallback: no controls of its own.
    CControlUI* MakeControl(const std::wstring&) override { return nullptr; }

    const MessageMap* GetMessageMap() const override;

protected:
    LRESULT ProcessMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    void OnWindowDestroyed() override;
    virtual void OnSkinBuilt() {}
    // "closebtn" closes with code 1; "minbtn", "maxbtn", "restorebtn" send the system command.
    virtual void HandleClick(NotifyRecord& record);
    virtual std::wstring SkinFolderPath() const = 0;
    // With SkinSourceKind 3, the decimal resource id of the skin (resource type "xml");
    // otherwise a skin file name in the resource path, or markup text.
    virtual std::wstring SkinSource() const = 0;
    virtual LRESULT HandleDefaultKey(WPARAM key);
    // 1: files in the resource folder; 3: resources of the executable. (2 and 4, zip archives,
    // are not supported and fail like a missing skin.)
    virtual UINT SkinSourceKind() const { return 1; }
    virtual std::wstring GetSkinArchiveName() const { return std::wstring(); }
    virtual std::wstring GetSkinArchiveResource() const { return std::wstring(); }

    // Message handlers: set `handled` false to pass the message on.
    virtual LRESULT OnClose(UINT, WPARAM, LPARAM, bool& handled);
    virtual LRESULT OnDestroy(UINT, WPARAM, LPARAM, bool& handled);
    virtual LRESULT OnNcActivate(UINT, WPARAM, LPARAM, bool& handled);
    virtual LRESULT OnNcCalcSize(UINT, WPARAM, LPARAM, bool& handled);
    virtual LRESULT OnNcPaint(UINT, WPARAM, LPARAM, bool& handled);
    virtual LRESULT OnNcHitTest(UINT, WPARAM, LPARAM, bool& handled);
    virtual LRESULT OnGetMinMaxInfo(UINT, WPARAM, LPARAM, bool& handled);
    virtual LRESULT OnMouseWheel(UINT, WPARAM, LPARAM, bool& handled);
    virtual LRESULT OnMouseHover(UINT, WPARAM, LPARAM, bool& handled);
    virtual LRESULT OnSize(UINT, WPARAM, LPARAM, bool& handled);
    virtual LRESULT OnChar(UINT, WPARAM, LPARAM, bool& handled);
    virtual LRESULT OnSysCommand(UINT, WPARAM, LPARAM, bool& handled);
    // WM_CREATE: strips the caption, builds the skin, attaches it, calls OnSkinBuilt. A skin
    // that cannot be built ends the process after a message box.
    virtual LRESULT OnWindowCreated(UINT, WPARAM, LPARAM, bool& handled);
    virtual LRESULT OnKeyDown(UINT, WPARAM, LPARAM, bool& handled);
    virtual LRESULT OnKillFocus(UINT, WPARAM, LPARAM, bool& handled);
    virtual LRESULT OnSetFocus(UINT, WPARAM, LPARAM, bool& handled);
    virtual LRESULT OnLButtonDown(UINT, WPARAM, LPARAM, bool& handled);
    virtual LRESULT OnLButtonUp(UINT, WPARAM, LPARAM, bool& handled);
    virtual LRESULT OnMouseMove(UINT, WPARAM, LPARAM, bool& handled);
    virtual LRESULT HandleOtherMessage(UINT, WPARAM, LPARAM, bool& handled);
    virtual LONG GetFrameStyle();

    // Shows the failure of a skin load and ends the process (exit code 1).
    [[noreturn]] void OnSkinLoadFailed();

    CSkinManagerUI m_manager;
};

}  // namespace SkinUI
