// Test helpers: whole folder trees as comparable values.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace ztest {

namespace fs = std::filesystem;

// Relative path ('/'-separated, UTF-8) -> content, or "<dir>" for folders.
using Tree = std::map<std::string, std::string>;

inline std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const fs::path& p, const std::string& content) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << content;
}

inline std::string RelKey(const fs::path& rel) {
    std::string s = rel.generic_u8string();
    return s;
}

inline Tree Snapshot(const fs::path& root) {
    Tree t;
    if (!fs::exists(root)) return t;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        std::string key = RelKey(fs::relative(it->path(), root));
        // Links and special files as what they are: never followed, never opened.
        const fs::file_status st = it->symlink_status();
        t[key] = fs::is_symlink(st)        ? "<link " + fs::read_symlink(it->path()).u8string() + ">"
                 : fs::is_directory(st)    ? std::string("<dir>")
                 : fs::is_regular_file(st) ? ReadFile(it->path())
                                           : std::string("<special>");
    }
    return t;
}

inline void MakeTree(const fs::path& root, const Tree& t) {
    fs::create_directories(root);
    for (const auto& [k, v] : t) {
        fs::path p = root / fs::u8path(k);
        if (v == "<dir>") fs::create_directories(p);
        else WriteFile(p, v);
    }
}

// Deterministic filler: compressible text or incompressible noise.
inline std::string Text(std::size_t n, unsigned seed) {
    std::string s;
    while (s.size() < n) s += "line " + std::to_string(seed++ % 97) + " of the package text\n";
    s.resize(n);
    return s;
}
inline std::string Noise(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (char& c : s) {
        x ^= x << 13; x ^= x >> 17; x ^= x << 5;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

}  // namespace ztest

namespace ztest {
// Empty when equal; otherwise the differing paths (contents are too long to print).
inline std::string Diff(const Tree& want, const Tree& got) {
    std::string out;
    for (const auto& [k, v] : want) {
        auto it = got.find(k);
        if (it == got.end()) out += "missing " + k + "; ";
        else if (it->second != v) out += "differs " + k + "; ";
    }
    for (const auto& [k, v] : got)
        if (!want.count(k)) out += "extra " + k + "; ";
    return out;
}
}  // namespace ztest
