#include "extract/path_tree.h"

#include <unordered_set>

#include "app/core/ascii.h"
#include "extract/extract_status.h"
#include "extract/zip_reader.h"

namespace zpvx {

const char* PathTree::Text(std::uint32_t n) const {
    const PathNode& p = m_nodes[n];
    return (*m_entries)[p.source].rel.data() + p.offset;
}

std::string PathTree::Name(std::uint32_t n) const { return std::string(Text(n), m_nodes[n].length); }

std::string PathTree::Rel(std::uint32_t n) const {
    std::vector<std::uint32_t> chain;
    std::size_t size = 0;
    for (std::uint32_t i = n; i != 0; i = m_nodes[i].parent) {
        chain.push_back(i);
        size += m_nodes[i].length + 1;
    }
    std::string out;
    out.reserve(size);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!out.empty()) out.push_back('/');
        out.append(Text(*it), m_nodes[*it].length);
    }
    return out;
}

int PathTree::Build(const std::vector<ZipEntry>& entries, std::size_t maxNodes, std::string* why) {
    m_entries = &entries;
    m_nodes.assign(1, PathNode());
    // Nodes are found by parent and name, ignoring ASCII case; the set holds node numbers.
    auto hash = [this](std::uint32_t n) {
        std::uint64_t h = 1469598103934665603ull ^ m_nodes[n].parent;
        const char* t = Text(n);
        for (std::uint16_t i = 0; i < m_nodes[n].length; ++i) h = (h ^ static_cast<unsigned char>(AsciiLower(t[i]))) * 1099511628211ull;
        return static_cast<std::size_t>(h ^ (h >> 32));
    };
    auto equal = [this](std::uint32_t a, std::uint32_t b) {
        const PathNode &x = m_nodes[a], &y = m_nodes[b];
        if (x.parent != y.parent || x.length != y.length) return false;
        const char *s = Text(a), *t = Text(b);
        for (std::uint16_t i = 0; i < x.length; ++i)
            if (AsciiLower(s[i]) != AsciiLower(t[i])) return false;
        return true;
    };
    std::unordered_set<std::uint32_t, decltype(hash), decltype(equal)> index(16, hash, equal);

    for (std::size_t e = 0; e < entries.size(); ++e) {
        const std::string& rel = entries[e].rel;
        std::uint32_t cur = 0;
        std::size_t start = 0;
        while (start < rel.size()) {
            std::size_t slash = rel.find('/', start);
            const bool last = slash == std::string::npos;
            if (last) slash = rel.size();
            // A candidate node at the end of the list: kept when new, dropped when found.
            PathNode cand;
            cand.parent = cur;
            cand.source = static_cast<std::uint32_t>(e);
            cand.offset = static_cast<std::uint32_t>(start);
            cand.length = static_cast<std::uint16_t>(slash - start);
            cand.isDir = !last || entries[e].isDir;
            m_nodes.push_back(cand);
            const std::uint32_t id = static_cast<std::uint32_t>(m_nodes.size() - 1);
            auto found = index.find(id);
            if (found == index.end()) {
                if (m_nodes.size() > maxNodes + 1) {
                    *why = "too many files and folders";
                    return ZPV_EXTRACT_TOO_MANY_ENTRIES;
                }
                index.insert(id);
                cur = id;
            } else {
                m_nodes.pop_back();
                cur = *found;
                const PathNode& had = m_nodes[cur];
                if (!had.isDir) {
                    *why = last ? "two entries for " + rel : "file used as a folder: " + rel;
                    return ZPV_EXTRACT_DUPLICATE_ENTRY;
                }
                if (last && !entries[e].isDir) {
                    *why = "two entries for " + rel;
                    return ZPV_EXTRACT_DUPLICATE_ENTRY;
                }
            }
            start = slash + 1;
        }
    }
    // Children lists, by counting.
    m_childStart.assign(m_nodes.size() + 1, 0);
    for (std::size_t n = 1; n < m_nodes.size(); ++n) ++m_childStart[m_nodes[n].parent + 1];
    for (std::size_t n = 1; n < m_childStart.size(); ++n) m_childStart[n] += m_childStart[n - 1];
    m_children.assign(m_nodes.size() > 0 ? m_nodes.size() - 1 : 0, 0);
    std::vector<std::uint32_t> fill(m_childStart.begin(), m_childStart.end() - 1);
    for (std::size_t n = 1; n < m_nodes.size(); ++n) m_children[fill[m_nodes[n].parent]++] = static_cast<std::uint32_t>(n);
    return ZPV_EXTRACT_OK;
}

}  // namespace zpvx
