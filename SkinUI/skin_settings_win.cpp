// The toolkit's process-wide settings: module instance and resource folder.
#include "SkinUI/skin_settings.h"

#include <mutex>

#include "SkinUI/skin_values.h"
#include "app/core/ascii.h"

namespace SkinUI {
namespace {

std::mutex g_settingsMutex;   // the settings are read by windows on any thread
HINSTANCE g_instance = nullptr;
std::wstring g_resourcePath;

}  // namespace

void SetModuleInstance(HINSTANCE instance) {
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    g_instance = instance;
}

HINSTANCE GetModuleInstance() {
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    return g_instance ? g_instance : ::GetModuleHandleW(nullptr);
}

std::wstring GetInstancePath() {
    HINSTANCE instance = GetModuleInstance();
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = ::GetModuleFileNameW(instance, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0) return std::wstring();
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);   // long paths: grow until the name fits
    }
    std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

void SetResourcePath(const std::wstring& path) {
    std::wstring p = path;
    if (!p.empty() && p.back() != L'\\' && p.back() != L'/') p += L'\\';
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    g_resourcePath = p;
}

std::wstring GetResourcePath() {
    std::lock_guard<std::mutex> lock(g_settingsMutex);
    return g_resourcePath;
}

bool ReadModuleResource(unsigned id, const std::wstring& type, std::string& bytes) {
    bytes.clear();
    if (id == 0 || id > 0xFFFF || type.empty()) return false;
    HMODULE module = GetModuleInstance();
    // Resource compilers store type names upper-cased; the search matches either way.
    HRSRC res = ::FindResourceW(module, MAKEINTRESOURCEW(id), AsciiUppered(type).c_str());
    if (!res) res = ::FindResourceW(module, MAKEINTRESOURCEW(id), type.c_str());
    if (!res) return false;
    HGLOBAL handle = ::LoadResource(module, res);
    DWORD size = ::SizeofResource(module, res);
    const void* data = handle ? ::LockResource(handle) : nullptr;
    if (!data) return false;
    bytes.assign(static_cast<const char*>(data), size);
    return true;
}

std::wstring ResolveSkinFile(const std::wstring& name, const std::wstring& folder) {
    bool absolute = name.size() > 1 && (name[1] == L':' || (name[0] == L'\\' && name[1] == L'\\'));
    return absolute ? name : folder + name;
}

bool ReadSkinFile(const std::wstring& path, long long limit, std::string& bytes) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size{};
    bool ok = ::GetFileSizeEx(file, &size) && size.QuadPart < limit;
    if (ok) {
        bytes.resize(static_cast<std::size_t>(size.QuadPart));
        DWORD read = 0;
        ok = bytes.empty() || (::ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) &&
                               read == bytes.size());
    }
    ::CloseHandle(file);
    return ok;
}

}  // namespace SkinUI
