// Test helpers: whole folder trees as comparable values.
#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "tests/support/support.h"

namespace ztest {

namespace fs = std::filesystem;

// Relative path ('/'-separated, UTF-8) -> content, or "<dir>" for folders.
using Tree = std::map<std::string, std::string>;

using zpvtest::Noise;
using zpvtest::ReadFile;
using zpvtest::Text;
using zpvtest::WriteFile;

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
