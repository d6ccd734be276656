// The files and folders an archive names, as a tree of path components. Each component is stored
// once, as a span of the entry name that brought it, so memory grows with the total length of the
// names and never with depth times entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zpvx {

struct ZipEntry;

struct PathNode {
    std::uint32_t parent = 0;   // node 0 is the extraction folder itself
    std::uint32_t source = 0;   // entry whose path holds the component's text
    std::uint32_t offset = 0;   // of the component in that path
    std::uint16_t length = 0;
    bool isDir = true;
};

class PathTree {
public:
    // ZPV_EXTRACT_OK; ZPV_EXTRACT_DUPLICATE_ENTRY for two entries of one path (ASCII letter case
    // ignored, as the client's file system does) or a file used as a folder;
    // ZPV_EXTRACT_TOO_MANY_ENTRIES for more than maxNodes files and folders.
    int Build(const std::vector<ZipEntry>& entries, std::size_t maxNodes, std::string* why);

    std::size_t Size() const { return m_nodes.size(); }
    const PathNode& Node(std::uint32_t n) const { return m_nodes[n]; }
    std::string Name(std::uint32_t n) const;
    // '/'-joined path of a node ("" for node 0).
    std::string Rel(std::uint32_t n) const;
    // Children of a node, in the order they were first named.
    const std::uint32_t* ChildrenBegin(std::uint32_t n) const { return m_children.data() + m_childStart[n]; }
    const std::uint32_t* ChildrenEnd(std::uint32_t n) const { return m_children.data() + m_childStart[n + 1]; }

private:
    const char* Text(std::uint32_t n) const;

    const std::vector<ZipEntry>* m_entries = nullptr;
    std::vector<PathNode> m_nodes;
    std::vector<std::uint32_t> m_childStart, m_children;
};

}  // namespace zpvx
