#include "extract/journal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "extract/extract_status.h"
#include "extract/zip_path.h"

namespace zpvx {
namespace {

const char kMagic[] = "ZPVJ ";

// A step line could hold two names of the longest length a zip entry name has.
constexpr std::size_t kMaxLine = 2 * 65536 + 64;

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

// One step line without its LF.
bool ParseStep(const char* p, std::size_t n, JournalStep* s) {
    std::vector<std::string> f;
    for (std::size_t pos = 0;;) {
        const char* tab = static_cast<const char*>(std::memchr(p + pos, '\t', n - pos));
        const std::size_t end = tab ? static_cast<std::size_t>(tab - p) : n;
        f.emplace_back(p + pos, end - pos);
        if (!tab || f.size() > 4) break;
        pos = end + 1;
    }
    unsigned long long slot = 0;
    if (f[0] == "D" && f.size() == 2) {
        *s = JournalStep{JournalStep::kMakeDir, 0, f[1], {}};
    } else if (f[0] == "N" && f.size() == 2) {
        *s = JournalStep{JournalStep::kPlace, 0, f[1], {}};
    } else if (f[0] == "R" && f.size() == 4 && ParseNumber(f[1], 10, &slot) && slot <= 0xFFFFFFFFull) {
        *s = JournalStep{JournalStep::kReplace, static_cast<std::uint32_t>(slot), f[2], f[3]};
    } else {
        return false;
    }
    // Only paths inside the target, written as the extraction writes them.
    return SafeRel(s->rel) && (s->kind != JournalStep::kReplace || SafeRel(s->oldRel));
}

class StringSource : public ByteSource {
public:
    explicit StringSource(const std::string& s) : m_s(s) {}
    std::uint64_t Size() const override { return m_s.size(); }
    bool ReadAt(std::uint64_t offset, void* buf, std::size_t n) override {
        if (offset > m_s.size() || n > m_s.size() - offset) return false;
        std::memcpy(buf, m_s.data() + offset, n);
        return true;
    }
private:
    const std::string& m_s;
};

}  // namespace

JournalBuilder::JournalBuilder() {
    m_pending = kMagic + std::to_string(kJournalVersion) + " " + kJournalPlanned + "\n";
    m_stateOffset = m_pending.size() - 2;
    m_crc = 0;
}

void JournalBuilder::Add(const JournalStep& s) {
    const std::size_t start = m_pending.size();
    m_pending.push_back(static_cast<char>(s.kind));
    m_pending.push_back('\t');
    if (s.kind == JournalStep::kReplace) m_pending += std::to_string(s.slot) + "\t";
    m_pending += s.rel;
    if (s.kind == JournalStep::kReplace) m_pending += "\t" + s.oldRel;
    m_pending.push_back('\n');
    m_crc = Crc32(m_crc, m_pending.data() + start, m_pending.size() - start);
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
    StringSource src(text);
    JournalReader reader;
    const JournalParse r = reader.Open(&src);
    if (r != JournalParse::kOk) return r;
    *state = reader.State();
    steps->resize(reader.Count());
    for (std::size_t i = 0; i < steps->size(); ++i) reader.Step(i, &(*steps)[i]);
    return r;
}

JournalParse JournalReader::Open(ByteSource* src) {
    m_src = src;
    m_lines.clear();
    const std::uint64_t size = src->Size();
    if (size > kMaxJournalBytes) return JournalParse::kForeign;
    // The first line: magic, version, state.
    char head[32] = {};
    const std::size_t headBytes = static_cast<std::size_t>(size < sizeof head ? size : sizeof head);
    if (!src->ReadAt(0, head, headBytes)) return JournalParse::kIncomplete;
    const std::string h(head, headBytes);
    const std::size_t first = h.find('\n');
    if (h.compare(0, sizeof kMagic - 1, kMagic) != 0 || first == std::string::npos || first < sizeof kMagic + 2)
        return JournalParse::kIncomplete;
    unsigned long long version = 0;
    if (!ParseNumber(h.substr(sizeof kMagic - 1, first - 2 - (sizeof kMagic - 1)), 10, &version) || h[first - 2] != ' ')
        return JournalParse::kIncomplete;
    if (version > static_cast<unsigned long long>(kJournalVersion)) return JournalParse::kNewer;
    m_state = h[first - 1];
    m_stateOffset = first - 1;
    if (m_state != kJournalPlanned && m_state != kJournalUndoing && m_state != kJournalCommitted)
        return JournalParse::kIncomplete;

    // Every line in turn, read in pieces: the text is never held whole.
    std::uint32_t crc = 0;
    std::vector<char> buf;
    std::uint64_t bufAt = first + 1;   // file offset of buf[0]
    std::size_t pos = 0;               // next line's start in buf
    JournalStep step;
    for (;;) {
        const char* nl =
            pos < buf.size() ? static_cast<const char*>(std::memchr(buf.data() + pos, '\n', buf.size() - pos)) : nullptr;
        if (!nl) {
            // Keep the partial line, read the next piece behind it.
            buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(pos));
            bufAt += pos;
            pos = 0;
            if (buf.size() > kMaxLine) return JournalParse::kIncomplete;
            const std::uint64_t left = size - (bufAt + buf.size());
            if (left == 0) return JournalParse::kIncomplete;
            const std::size_t piece = static_cast<std::size_t>(left < (1u << 20) ? left : (1u << 20));
            const std::size_t had = buf.size();
            buf.resize(had + piece);
            if (!src->ReadAt(bufAt + had, buf.data() + had, piece)) return JournalParse::kIncomplete;
            continue;
        }
        const char* line = buf.data() + pos;
        const std::size_t n = static_cast<std::size_t>(nl - line);
        m_lines.push_back(bufAt + pos);
        if (n > 0 && line[0] == 'E') {
            const std::string end(line, n);
            const std::size_t t1 = end.find('\t'), t2 = end.find('\t', t1 + 1);
            unsigned long long count = 0, want = 0;
            if (n >= 2 && end[1] == '\t' && t2 != std::string::npos && ParseNumber(end.substr(2, t2 - 2), 10, &count) &&
                count == m_lines.size() - 1 && ParseNumber(end.substr(t2 + 1), 16, &want) && want == crc)
                return JournalParse::kOk;
            break;
        }
        if (m_lines.size() > kMaxJournalSteps) {
            m_lines.clear();
            return JournalParse::kForeign;
        }
        if (!ParseStep(line, n, &step)) break;
        crc = Crc32(crc, line, n + 1);
        pos += n + 1;
    }
    m_lines.clear();
    return JournalParse::kIncomplete;
}

bool JournalReader::Step(std::size_t i, JournalStep* out) const {
    if (i >= Count()) return false;
    const std::size_t n = static_cast<std::size_t>(m_lines[i + 1] - m_lines[i]);
    std::string line(n, '\0');
    return n > 1 && m_src->ReadAt(m_lines[i], &line[0], n) && line[n - 1] == '\n' && ParseStep(line.data(), n - 1, out);
}

}  // namespace zpvx
