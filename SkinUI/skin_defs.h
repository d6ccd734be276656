// Shared definitions of the Windows toolkit: notification and event records, control state
// bits, and the callback interfaces that windows implement.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

namespace SkinUI {

class CControlUI;
class CSkinManagerUI;

// A notification for the window, such as "click" (sender: the button) or "windowinit"
// (sender: the root, once after the first layout).
struct NotifyRecord {
    std::wstring type;
    std::wstring virtualWindow;   // empty for ordinary windows
    CControlUI* sender = nullptr;
    DWORD timestamp = 0;          // tick count when sent
    POINT mousePos{0, 0};         // client coordinates of the last mouse message
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

// Event types of ControlEvent, numbered from 1; the mouse events are 9..18 inclusive.
enum ControlEventType {
    kEventFirst = 1,
    kEventKeyBegin,
    kEventKeyDown,
    kEventKeyUp,
    kEventChar,
    kEventSysKey,
    kEventKeyEnd,
    kEventMouseBegin,
    kEventMouseMove,       // 9
    kEventMouseLeave,
    kEventMouseEnter,
    kEventMouseHover,
    kEventButtonDown,
    kEventButtonUp,
    kEventRightButtonDown,
    kEventDoubleClick,
    kEventContextMenu,
    kEventScrollWheel,     // 18
    kEventMouseEnd,
    kEventKillFocus,
    kEventSetFocus,
    kEventWindowSize,
    kEventSetCursor,
    kEventTimer,
    kEventNotify,
    kEventCommand,
};

inline bool IsMouseEvent(int type) { return type > kEventMouseBegin && type < kEventMouseEnd; }

struct ControlEvent {
    int type = 0;
    CControlUI* sender = nullptr;
    DWORD timestamp = 0;
    POINT mousePos{0, 0};
    WPARAM key = 0;        // character or virtual-key code
    WORD keyState = 0;     // MK_* flags of mouse messages
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

// Button state bits.
enum : UINT {
    kStateFocused = 0x01,
    kStateSelected = 0x02,
    kStateDisabled = 0x04,
    kStateHot = 0x08,
    kStatePushed = 0x10,
    kStateChecked = 0x20,
    kStateCaptured = 0x40,
};

// Flags of CControlUI::WalkTree.
enum : UINT {
    kFindAll = 0x00,
    kFindVisible = 0x01,
    kFindEnabled = 0x02,
    kFindHitTest = 0x04,     // only controls whose rectangle holds the point (data: POINT*)
    kFindTopFirst = 0x08,    // later children first (they paint above earlier ones)
    kFindMeFirst = 0x80,     // test the container before its children
};

// Receives the notifications of a window's controls.
class INotifyUI {
public:
    virtual void OnNotification(NotifyRecord& record) = 0;
protected:
    ~INotifyUI() = default;
};

// Sees each message of its window before it is translated and dispatched. Setting `handled`
// consumes the message.
class IMessageFilterUI {
public:
    virtual LRESULT FilterMessage(UINT message, WPARAM wParam, LPARAM lParam, bool& handled) = 0;
protected:
    ~IMessageFilterUI() = default;
};

// Creates controls for element names that the builder does not know (null: skip the element).
class IDialogBuilderCallback {
public:
    virtual CControlUI* MakeControl(const std::wstring& elementName) = 0;
protected:
    ~IDialogBuilderCallback() = default;
};

}  // namespace SkinUI
