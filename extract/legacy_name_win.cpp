// Entry names without the UTF-8 flag on Windows: the system's OEM code page, as other tools read them.
#include "extract/legacy_name.h"

#include <windows.h>

namespace zpvx {

// Archivers on Windows write names without the UTF-8 flag in the OEM code page of the system.
bool LegacyNameToUtf8(const std::string& raw, std::string* out) {
    out->clear();
    if (raw.empty()) return true;
    if (raw.size() > 0x7FFFFFFF) return false;
    const int len = static_cast<int>(raw.size());
    int n = MultiByteToWideChar(CP_OEMCP, MB_ERR_INVALID_CHARS, raw.data(), len, nullptr, 0);
    if (n <= 0) return false;
    std::wstring w(n, L'\0');
    if (MultiByteToWideChar(CP_OEMCP, MB_ERR_INVALID_CHARS, raw.data(), len, &w[0], n) != n) return false;
    int m = WideCharToMultiByte(CP_UTF8, 0, w.data(), n, nullptr, 0, nullptr, nullptr);
    if (m <= 0) return false;
    out->assign(m, '\0');
    return WideCharToMultiByte(CP_UTF8, 0, w.data(), n, &(*out)[0], m, nullptr, nullptr) == m;
}

}  // namespace zpvx
