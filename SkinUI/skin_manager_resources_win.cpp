// The paint manager's resources: the process defaults, fonts (per window and shared), images
// and default attribute lists.
#include "SkinUI/skin_manager.h"

#include <commctrl.h>

#include <algorithm>
#include <mutex>

#include "SkinUI/skin_pixels.h"
#include "SkinUI/skin_render.h"
#include "SkinUI/skin_settings.h"
#include "SkinUI/skin_values.h"
#include "app/core/ascii.h"
#include "log/rklog.h"
#include "app/core/utf8.h"

namespace SkinUI {
namespace {

const long long kMaxImageFileSize = 64LL << 20;

// Defaults set once per process by the first paint manager.
struct ProcessDefaults {
    SkinFont font;
};
std::once_flag g_defaultsOnce;
ProcessDefaults* g_defaults = nullptr;

std::mutex g_sharedFontMutex;
std::map<std::wstring, SkinFont>& SharedFonts() {
    static std::map<std::wstring, SkinFont> fonts;
    return fonts;
}

int FontTextHeight(HFONT font) {
    HDC dc = ::GetDC(nullptr);
    HGDIOBJ old = ::SelectObject(dc, font);
    TEXTMETRICW tm{};
    ::GetTextMetricsW(dc, &tm);
    ::SelectObject(dc, old);
    ::ReleaseDC(nullptr, dc);
    return tm.tmHeight;
}

SkinFont MakeFont(const std::wstring& face, int size, bool bold, bool underline, bool italic) {
    SkinFont f;
    ::GetObjectW(::GetStockObject(DEFAULT_GUI_FONT), sizeof(LOGFONTW), &f.description);
    if (!face.empty()) ::lstrcpynW(f.description.lfFaceName, face.c_str(), LF_FACESIZE);
    f.description.lfCharSet = DEFAULT_CHARSET;
    f.description.lfHeight = -size;
    if (bold) f.description.lfWeight = std::min<LONG>(1000, f.description.lfWeight + FW_BOLD);
    f.description.lfUnderline = underline ? TRUE : FALSE;
    f.description.lfItalic = italic ? TRUE : FALSE;
    f.font = ::CreateFontIndirectW(&f.description);
    f.textHeight = f.font ? FontTextHeight(f.font) : 0;
    return f;
}

}  // namespace

void CSkinManagerUI::EnsureProcessDefaults() {
    std::call_once(g_defaultsOnce, [] {
        auto* d = new ProcessDefaults();   // lives as long as the process
        ::GetObjectW(::GetStockObject(DEFAULT_GUI_FONT), sizeof(LOGFONTW), &d->font.description);
        d->font.description.lfCharSet = DEFAULT_CHARSET;
        d->font.font = ::CreateFontIndirectW(&d->font.description);
        d->font.textHeight = FontTextHeight(d->font.font);
        g_defaults = d;
        GetAlphaBlend();
        INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES};
        ::InitCommonControlsEx(&icc);
    });
}

HFONT CSkinManagerUI::AddFont(int id, const std::wstring& face, int size, bool bold, bool underline, bool italic,
                              bool shared) {
    SkinFont f = MakeFont(face, size, bold, underline, italic);
    if (!f.font) return nullptr;
    const std::wstring key = std::to_wstring(id);
    if (shared) {
        std::lock_guard<std::mutex> lock(g_sharedFontMutex);
        auto& fonts = SharedFonts();
        auto it = fonts.find(key);
        if (it != fonts.end()) ::DeleteObject(it->second.font);
        fonts[key] = f;
    } else {
        auto it = m_fonts.find(key);
        if (it != m_fonts.end()) ::DeleteObject(it->second.font);
        m_fonts[key] = f;
    }
    return f.font;
}

void CSkinManagerUI::SetDefaultFont(const std::wstring& face, int size, bool bold, bool underline, bool italic,
                                    bool shared) {
    SkinFont f = MakeFont(face, size, bold, underline, italic);
    if (!f.font) return;
    if (shared) {
        // Process-wide: replaces the first manager's default for windows created later on.
        std::lock_guard<std::mutex> lock(g_sharedFontMutex);
        g_defaults->font = f;   // the previous font may still be selected elsewhere: not deleted
        return;
    }
    if (m_defaultFont) ::DeleteObject(m_defaultFont->font);
    m_defaultFont = std::make_unique<SkinFont>(f);
}

// The window's table, then the shared one, then the window's default, then the process's.
// A copy: the shared tables may change on another thread once the lock is released.
SkinFont CSkinManagerUI::FindFont(int id) const {
    if (id >= 0) {
        const std::wstring key = std::to_wstring(id);
        auto it = m_fonts.find(key);
        if (it != m_fonts.end()) return it->second;
        std::lock_guard<std::mutex> lock(g_sharedFontMutex);
        auto& fonts = SharedFonts();
        auto sit = fonts.find(key);
        if (sit != fonts.end()) return sit->second;
    }
    if (m_defaultFont) return *m_defaultFont;
    std::lock_guard<std::mutex> lock(g_sharedFontMutex);
    return g_defaults->font;
}

HFONT CSkinManagerUI::LookupFont(int id) const { return FindFont(id).font; }

int CSkinManagerUI::LookupFontHeight(int id) const { return FindFont(id).textHeight; }

const SkinImage* CSkinManagerUI::LoadSkinImage(const ImageDescriptor& d) {
    if (d.name.empty()) return nullptr;
    wchar_t maskText[16];
    ::wsprintfW(maskText, L"|%08X", static_cast<unsigned>(d.mask));
    const std::wstring key = (d.fromResource ? L"res:" + AsciiUppered(d.resourceType) + L":" : std::wstring(L"file:")) +
                             d.name + maskText;
    auto it = m_images.find(key);
    if (it != m_images.end()) return it->second.get();

    std::string bytes;
    bool read;
    if (d.fromResource) {
        read = ReadModuleResource(ResourceIdFromName(d.name), d.resourceType, bytes);
    } else {
        const std::wstring folder = m_resourceFolder.empty() ? GetResourcePath() : m_resourceFolder;
        read = ReadSkinFile(ResolveSkinFile(d.name, folder), kMaxImageFileSize, bytes);
    }
    std::unique_ptr<SkinImage> image;
    std::string error = "not found";
    DecodedImage decoded;
    if (read && DecodeImage(bytes.data(), bytes.size(), d.mask, decoded, error)) {
        image = std::make_unique<SkinImage>();
        image->width = decoded.width;
        image->height = decoded.height;
        image->hasAlpha = decoded.hasAlpha;
        image->bitmap = CreateImageBitmap(decoded.width, decoded.height, decoded.pixels.data());
        if (!image->bitmap) {
            image.reset();
            error = "bitmap creation failed";
        }
    }
    if (!image)
        LOG_STREAM(rklog::kWarn) << "skin image " << WideToUtf8(d.name) << " not loaded: " << error;
    const SkinImage* result = image.get();
    m_images[key] = std::move(image);   // failures are remembered too
    return result;
}

void CSkinManagerUI::AddDefaultAttributeList(const std::wstring& element, const std::wstring& attributes) {
    m_defaultAttributes[AsciiUppered(element)] = attributes;
}

const std::wstring* CSkinManagerUI::GetDefaultAttributeList(const std::wstring& element) const {
    auto it = m_defaultAttributes.find(AsciiUppered(element));
    return it == m_defaultAttributes.end() ? nullptr : &it->second;
}

}  // namespace SkinUI
