#include "extract/zip_path.h"

#include <vector>

#include "app/core/ascii.h"
#include "app/core/utf8.h"
#include "extract/extract_status.h"

namespace zpvx {

const char kWorkFolderName[] = ".zpv-extract";

namespace {

constexpr std::size_t kMaxComponentUnits = 255;   // UTF-16 units, the NTFS limit
constexpr std::size_t kMaxPathBytes = 8192;

// Device names are reserved in every folder, with any extension and trailing spaces.
bool IsDeviceName(const std::u32string& comp) {
    std::size_t end = comp.find(U'.');
    if (end == std::u32string::npos) end = comp.size();
    while (end > 0 && comp[end - 1] == U' ') --end;
    std::u32string base = comp.substr(0, end);
    if (base.size() < 3 || base.size() > 7) return false;
    std::string up;
    for (std::size_t i = 0; i < base.size(); ++i) {
        char32_t c = base[i];
        // COM and LPT with a superscript digit are devices as well.
        if (i == 3 && base.size() == 4 && (c == 0xB9 || c == 0xB2 || c == 0xB3)) { up.push_back('1'); continue; }
        up.push_back(c < 0x80 ? static_cast<char>(AsciiUpper(c)) : '\x7F');
    }
    static const char* const kFixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* d : kFixed)
        if (up == d) return true;
    if (up.size() == 4 && (up.compare(0, 3, "COM") == 0 || up.compare(0, 3, "LPT") == 0) &&
        up[3] >= '0' && up[3] <= '9')
        return true;
    return false;
}

std::size_t Utf16Units(const std::u32string& s) {
    std::size_t n = 0;
    for (char32_t c : s) n += c >= 0x10000 ? 2 : 1;
    return n;
}

}  // namespace

int NormalizeEntryPath(const std::string& utf8Name, EntryPath* out, std::string* why) {
    out->rel.clear();
    out->isDir = false;
    std::u32string name;
    if (!DecodeUtf8(utf8Name, &name)) {
        *why = "name is not valid text";
        return ZPV_EXTRACT_BAD_NAME;
    }
    if (name.empty()) {
        *why = "empty name";
        return ZPV_EXTRACT_UNSAFE_PATH;
    }
    if (name[0] == U'/' || name[0] == U'\\') {
        *why = "absolute path";
        return ZPV_EXTRACT_UNSAFE_PATH;
    }
    out->isDir = name.back() == U'/' || name.back() == U'\\';

    std::vector<std::u32string> comps;
    std::u32string cur;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && name[i] != U'/' && name[i] != U'\\') {
            cur.push_back(name[i]);
            continue;
        }
        if (!cur.empty() && cur != U".") comps.push_back(cur);
        cur.clear();
    }
    if (comps.size() > kMaxPathDepth) {
        *why = "path too deep";
        return ZPV_EXTRACT_UNSAFE_PATH;
    }
    bool first = true;
    for (const std::u32string& comp : comps) {
        if (comp == U"..") {
            *why = "'..' component";
            return ZPV_EXTRACT_UNSAFE_PATH;
        }
        for (char32_t c : comp) {
            // ':' covers drive letters and alternate data streams.
            if (c < 0x20 || c == 0x7F || c == U':' || c == U'<' || c == U'>' || c == U'"' || c == U'|' ||
                c == U'?' || c == U'*') {
                *why = "character not allowed in a file name";
                return ZPV_EXTRACT_UNSAFE_PATH;
            }
        }
        // Windows drops trailing dots and spaces, which would alias another name.
        if (comp.back() == U'.' || comp.back() == U' ') {
            *why = "component ends in a dot or space";
            return ZPV_EXTRACT_UNSAFE_PATH;
        }
        if (IsDeviceName(comp)) {
            *why = "device name";
            return ZPV_EXTRACT_UNSAFE_PATH;
        }
        if (Utf16Units(comp) > kMaxComponentUnits) {
            *why = "component too long";
            return ZPV_EXTRACT_UNSAFE_PATH;
        }
        std::string part;
        for (char32_t c : comp) AppendUtf8(&part, c);
        if (first && FoldPath(part) == kWorkFolderName) {
            *why = "reserved folder name";
            return ZPV_EXTRACT_UNSAFE_PATH;
        }
        if (!first) out->rel.push_back('/');
        out->rel += part;
        first = false;
    }
    if (out->rel.size() > kMaxPathBytes) {
        *why = "path too long";
        return ZPV_EXTRACT_UNSAFE_PATH;
    }
    if (out->rel.empty() && !out->isDir) {
        *why = "name without a file part";
        return ZPV_EXTRACT_UNSAFE_PATH;
    }
    return ZPV_EXTRACT_OK;
}

std::string FoldPath(const std::string& rel) { return AsciiLowered(rel); }

namespace {

// The characters an 8.3 name may hold besides letters and digits.
bool IsShortNameChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || std::string("!#$%&'()-@^_`{}~").find(c) != std::string::npos;
}

// A name that already is a valid upper-case 8.3 name gets no short name of its own.
bool IsPlainShortName(const std::string& up) {
    const std::size_t dot = up.find('.');
    const std::string base = up.substr(0, dot), ext = dot == std::string::npos ? "" : up.substr(dot + 1);
    if (base.empty() || base.size() > 8 || ext.size() > 3 || ext.find('.') != std::string::npos) return false;
    for (char c : base + ext)
        if (!IsShortNameChar(c)) return false;
    return true;
}

}  // namespace

bool MayBeShortNameOf(const std::string& shortName, const std::string& longName) {
    // BASE~N[.EXT]: BASE and ~N together at most 8 characters, EXT at most 3.
    const std::string s = AsciiUppered(shortName);
    const std::size_t tilde = s.rfind('~'), dot = s.find('.');
    if (tilde == std::string::npos || tilde == 0 || (dot != std::string::npos && dot < tilde)) return false;
    const std::size_t baseEnd = dot == std::string::npos ? s.size() : dot;
    if (baseEnd > 8 || baseEnd - tilde < 2 || s[tilde + 1] == '0') return false;
    for (std::size_t i = tilde + 1; i < baseEnd; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    if (!IsPlainShortName(s)) return false;

    // The long name as Windows shortens it: upper case, spaces and all dots but the last gone,
    // other characters not allowed in 8.3 names as '_'.
    const std::string l = AsciiUppered(longName);
    if (l == s || IsPlainShortName(l)) return false;
    const std::size_t lastDot = l.rfind('.');
    std::string lbase, lext;
    for (std::size_t i = 0; i < l.size(); ++i) {
        const char c = l[i];
        if (c == ' ' || (c == '.' && i != lastDot)) continue;
        if (i == lastDot) continue;
        if (static_cast<unsigned char>(c) >= 0x80 && (static_cast<unsigned char>(c) & 0xC0) == 0x80) continue;
        std::string& to = lastDot != std::string::npos && i > lastDot ? lext : lbase;
        to.push_back(IsShortNameChar(c) ? c : '_');
    }
    const std::string sbase = s.substr(0, tilde), sext = dot == std::string::npos ? "" : s.substr(dot + 1);
    if (sext != lext.substr(0, 3)) return false;
    // Either the first characters of the long name, or (after the first few collisions) two of
    // them followed by four hex digits of a hash.
    if (lbase.compare(0, sbase.size(), sbase) == 0) return true;
    if (sbase.size() != 6 || lbase.compare(0, 2, sbase, 0, 2) != 0) return false;
    for (std::size_t i = 2; i < 6; ++i)
        if (!((sbase[i] >= '0' && sbase[i] <= '9') || (sbase[i] >= 'A' && sbase[i] <= 'F'))) return false;
    return true;
}

}  // namespace zpvx
