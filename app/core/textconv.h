// Conversions between the UTF-16 texts of the program and its narrow texts.
// On Windows narrow means the thread's ANSI code page (paths: the file-system code page);
// elsewhere it means UTF-8.
#pragma once

#include <string>

std::string ToNarrow(const std::wstring& wide);       // ANSI code page, default character for unmapped
std::string ToNarrowPath(const std::wstring& path);   // file-system code page
std::wstring ToWide(const std::string& narrow);       // ANSI code page
