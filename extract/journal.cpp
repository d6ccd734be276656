#include "extract/journal.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>

#include "extract/extract_status.h"
#include "extract/zip_path.h"

namespace zpvx {
namespace {

const char kMagic[] = "ZPVJ ";

std::uint32_t Crc(const char* p, std::size_t n) {
    uLong crc = crc32(0, nullptr, 0);
    if (!p) return static_cast<std::uint32_t>(crc);
    while (n > 0) {
        uInt part = static_cast<uInt>(n > (1u << 30) ? (1u << 30) : n);
        crc = crc32(crc, reinterpret_cast<const Bytef*>(p), part);
        p += part;
        n -= part;
    }
    return static_cast<std::uint32_t>(crc);
}

// Splits a line at tabs.
std::vector<std::string> Fields(const std::string& text, std::size_t begin, std::size_t end) {
    std::vector<std::string> out;
    std::size_t pos = begin;
    for (;;) {
        std::size_t tab = text.find('\t', pos);
        if (tab == std::string::npos || tab > end) {
            out.push_back(text.substr(pos, end - pos));
            return out;
        }
        out.push_back(text.substr(pos, tab - pos));
        pos = tab + 1;
    }
}

bool ParseNumber(const std::string& s, int base, unsigned long long* out) {
    if (s.empty() || s.size() > 20) return false;
    char* end = nullptr;
    *out = std::strtoull(s.c_str(), &end, base);
    return end == s.c_str() + s.size();
}

bool SafeRel(const std::string& rel) {
    EntryPath path;
    std::string why;
    return NormalizeEntryPath(rel, &path, &why) == ZPV_EXTRACT_OK && !path.isDir && path.rel == rel;
}

}  // namespace

JournalBuilder::JournalBuilder() {
    m_pending = kMagic + std::to_string(kJournalVersion) + " " + kJournalPlanned + "\n";
    m_stateOffset = m_pending.size() - 2;
    m_crc = Crc(nullptr, 0);
}

void JournalBuilder::Add(const JournalStep& s) {
    const std::size_t start = m_pending.size();
    m_pending.push_back(static_cast<char>(s.kind));
    m_pending.push_back('\t');
    if (s.kind == JournalStep::kReplace) m_pending += std::to_string(s.slot) + "\t";
    m_pending += s.rel;
    if (s.kind == JournalStep::kReplace) m_pending += "\t" + s.oldRel;
    m_pending.push_back('\n');
    m_crc = static_cast<std::uint32_t>(
        crc32(m_crc, reinterpret_cast<const Bytef*>(m_pending.data() + start), static_cast<uInt>(m_pending.size() - start)));
    ++m_count;
}

void JournalBuilder::End() {
    char end[48];
    std::snprintf(end, sizeof end, "E\t%llu\t%08x\n", static_cast<unsigned long long>(m_count), static_cast<unsigned>(m_crc));
    m_pending += end;
}

std::string JournalBuilder::Take() {
    std::string out;
    out.swap(m_pending);
    return out;
}

std::string JournalText(const std::vector<JournalStep>& steps) {
    JournalBuilder b;
    for (const JournalStep& s : steps) b.Add(s);
    b.End();
    return b.Take();
}

std::uint64_t JournalStateOffset(const std::string& text) { return text.find('\n') - 1; }

JournalParse ParseJournal(const std::string& text, char* state, std::vector<JournalStep>* steps) {
    steps->clear();
    const std::size_t first = text.find('\n');
    if (text.compare(0, sizeof kMagic - 1, kMagic) != 0 || first == std::string::npos || first < sizeof kMagic + 2)
        return JournalParse::kIncomplete;
    unsigned long long version = 0;
    if (!ParseNumber(text.substr(sizeof kMagic - 1, first - 2 - (sizeof kMagic - 1)), 10, &version) ||
        text[first - 2] != ' ')
        return JournalParse::kIncomplete;
    if (version > static_cast<unsigned long long>(kJournalVersion)) return JournalParse::kNewer;
    *state = text[first - 1];
    if (*state != kJournalPlanned && *state != kJournalUndoing && *state != kJournalCommitted)
        return JournalParse::kIncomplete;

    std::size_t pos = first + 1;
    while (pos < text.size()) {
        const std::size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) break;
        std::vector<std::string> f = Fields(text, pos, nl);
        unsigned long long n = 0, crc = 0;
        if (f[0] == "E") {
            if (f.size() == 3 && ParseNumber(f[1], 10, &n) && n == steps->size() && ParseNumber(f[2], 16, &crc) &&
                crc == Crc(text.data() + first + 1, pos - first - 1))
                return JournalParse::kOk;
            break;
        }
        JournalStep s;
        if (f[0] == "D" && f.size() == 2) {
            s.kind = JournalStep::kMakeDir;
        } else if (f[0] == "N" && f.size() == 2) {
            s.kind = JournalStep::kPlace;
        } else if (f[0] == "R" && f.size() == 4 && ParseNumber(f[1], 10, &n) && n <= 0xFFFFFFFFull) {
            s.kind = JournalStep::kReplace;
            s.slot = static_cast<std::uint32_t>(n);
            s.oldRel = f[3];
        } else {
            break;
        }
        s.rel = f[f.size() == 4 ? 2 : 1];
        // Only paths inside the target, written as the extraction writes them.
        if (!SafeRel(s.rel) || (s.kind == JournalStep::kReplace && !SafeRel(s.oldRel))) break;
        steps->push_back(std::move(s));
        pos = nl + 1;
    }
    steps->clear();
    return JournalParse::kIncomplete;
}

}  // namespace zpvx
