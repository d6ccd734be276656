// Process-wide settings of the toolkit. The run sets them once, before the first window.
#pragma once

#include "SkinUI/skin_defs.h"

namespace SkinUI {

// The module whose resources hold the skins and images and which registers the window
// classes. Until set: the executable's own module.
void SetModuleInstance(HINSTANCE instance);
HINSTANCE GetModuleInstance();

// The folder of the module's file, with a trailing backslash.
std::wstring GetInstancePath();

// The folder from which file skins and file images are read (a trailing backslash is added
// when missing). When empty, windows use GetInstancePath() + their SkinFolderPath().
void SetResourcePath(const std::wstring& path);
std::wstring GetResourcePath();

// Reads a resource of the module instance. Type names match without regard to case.
bool ReadModuleResource(unsigned id, const std::wstring& type, std::string& bytes);

// A skin or image file name taken in `folder` unless it is absolute (a drive or a UNC name).
std::wstring ResolveSkinFile(const std::wstring& name, const std::wstring& folder);
// Reads a whole file of at most `limit` bytes; false when it cannot be read or is larger.
bool ReadSkinFile(const std::wstring& path, long long limit, std::string& bytes);

}  // namespace SkinUI
