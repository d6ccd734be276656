// What the updater's three windows share: skins and images from the executable's resources,
// their window class style, and Escape / Enter closing the window.
#pragma once

#include <string>

#include "SkinUI/SkinUI.h"

class CZpvWndBase : public SkinUI::WindowImplBase {
public:
    // Escape closes with code 2, Enter with code 1; the key is not consumed.
    LRESULT FilterMessage(UINT message, WPARAM wParam, LPARAM lParam, bool& handled) override;

protected:
    CZpvWndBase() = default;
    // Destroys a window that is still there, so that no message reaches a dead object.
    ~CZpvWndBase() override;

    UINT WindowClassStyle() const override { return CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS; }
    std::wstring SkinFolderPath() const override { return std::wstring(); }
    UINT SkinSourceKind() const override { return 3; }
    LRESULT ProcessMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

    // The updater and launch windows: top-level, titled "Veltaro升级程序", with the app icon.
    void CreateMainFrame();
    static std::wstring SkinId(int id);
    // The control of that name as the given class, or null.
    template <class T>
    T* Find(const wchar_t* name) const { return static_cast<T*>(LookupControl(name)); }
};

// Window icon of the updater and launch windows.
constexpr UINT kAppIconGroup = 107;
