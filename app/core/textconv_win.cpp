// Text conversions on Windows, through the thread's ANSI code page.
#include "app/core/textconv.h"

#include <windows.h>

namespace {
std::string Narrow(UINT cp, const std::wstring& w) {
    if (w.empty()) return std::string();
    int n = WideCharToMultiByte(cp, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0) WideCharToMultiByte(cp, 0, w.data(), static_cast<int>(w.size()), &out[0], n, nullptr, nullptr);
    return out;
}
}  // namespace

std::string ToNarrow(const std::wstring& wide) { return Narrow(CP_ACP, wide); }
std::string ToNarrowPath(const std::wstring& path) { return Narrow(AreFileApisANSI() ? CP_ACP : CP_OEMCP, path); }

std::wstring ToWide(const std::string& s) {
    if (s.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring out(n > 0 ? n : 0, L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), &out[0], n);
    return out;
}
