#include "app/core/cmdline.h"

#include "app/core/ascii.h"

namespace {
const wchar_t kPrefix = L'-';
const wchar_t kSeparator = L'=';
const wchar_t kQuote = L'"';
const wchar_t kValueEnd = L' ';

void Store(CCmdLineParser::ValueMap& map, std::wstring key, std::wstring value) {
    if (key.empty()) return;
    // Only A-Z change, as the "C" locale's wide lower-casing does.
    map.emplace(AsciiLowered(key), std::move(value));   // the first occurrence wins
}
}  // namespace

CCmdLineParser::CCmdLineParser(const wchar_t* text) {
    if (text) Parse(text);
}

void CCmdLineParser::Parse(const wchar_t* text) {
    if (!text) return;
    m_cmdLine = text;
    m_values.clear();
    const std::wstring& t = m_cmdLine;
    const std::size_t n = t.size();
    std::size_t cur = 0;
    while (cur < n) {
        const std::size_t dash = t.find(kPrefix, cur);
        if (dash == std::wstring::npos) return;
        const std::size_t k = dash + 1;
        if (k >= n) return;
        const std::size_t eq = t.find(kSeparator, k);
        if (eq == std::wstring::npos) {
            Store(m_values, t.substr(k), std::wstring());
            return;
        }
        std::wstring key = t.substr(k, eq - k);
        if (eq + 1 == n) {
            Store(m_values, std::move(key), std::wstring());
            return;
        }
        std::size_t v = eq + 1;
        std::size_t stop;
        if (t[v] == kQuote) {
            ++v;
            stop = t.find(kQuote, v);
        } else {
            stop = t.find(kValueEnd, v);
        }
        if (stop == std::wstring::npos) {
            Store(m_values, std::move(key), t.substr(v));
            return;
        }
        Store(m_values, std::move(key), t.substr(v, stop - v));
        cur = stop + 1;
    }
}

CCmdLineParser::ValueMap::const_iterator CCmdLineParser::FindKey(const std::wstring& key) const {
    return m_values.find(AsciiLowered(key));
}

std::wstring CCmdLineParser::GetValue(const std::wstring& key) const {
    auto it = FindKey(key);
    return it == m_values.end() ? std::wstring() : it->second;
}
