#include "pack/release.h"

#include <algorithm>
#include <map>

#include "app/core/ascii.h"
#include "extract/extract_status.h"
#include "extract/path_tree.h"
#include "extract/zip_path.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace zpvpack {
namespace {

constexpr char kUpdaterName[] = "zpvupdate.exe";
// Central record: fixed part plus name; Zip64 extras only for entries past 4 GiB, counted there.
constexpr std::uint64_t kCentralFixed = 46;

bool IsLink(const fs::directory_entry& e, std::error_code& ec) {
    if (e.is_symlink(ec)) return true;
#ifdef _WIN32
    // Junctions and other reparse points are not symlinks to the standard library.
    const DWORD attr = GetFileAttributesW(e.path().c_str());
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
#endif
    return false;
}

struct Scanner {
    const zpvx::ZipLimits& limits;
    std::vector<Item>* items;
    Failure* failure;

    bool Fail(int status, const std::string& text) {
        failure->status = status;
        failure->text = text;
        return false;
    }

    // The name as the extractor will see it, unchanged by its rules.
    bool CheckName(const std::string& name, bool isDir) {
        zpvx::EntryPath path;
        std::string why;
        if (zpvx::NormalizeEntryPath(name + (isDir ? "/" : ""), &path, &why) != ZPV_EXTRACT_OK)
            return Fail(kRefused, name + ": " + why);
        if (path.rel != name)
            return Fail(kRefused, name + ": the name would unpack as \"" + path.rel + "\" (a '\\' separates folders on the client)");
        return true;
    }

    bool Walk(const fs::path& dir, const std::string& name) {
        std::error_code ec;
        std::vector<std::pair<std::string, fs::directory_entry>> children;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            std::string child;
            try {
                child = it->path().filename().u8string();
            } catch (const std::exception&) {
                return Fail(kRefused, name + ": a name in this folder is not valid text");
            }
            children.emplace_back(name + "/" + child, *it);
        }
        if (ec) return Fail(kIoError, name + ": cannot list the folder (" + ec.message() + ")");
        std::sort(children.begin(), children.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (auto& [childName, entry] : children) {
            if (items->size() >= limits.maxEntries)
                return Fail(kRefused, "more than " + std::to_string(limits.maxEntries) + " files and folders: the updater refuses the package");
            if (IsLink(entry, ec)) return Fail(kRefused, childName + ": a link; copy the real file or folder into the release folder");
            const bool isDir = entry.is_directory(ec);
            if (!isDir && !entry.is_regular_file(ec))
                return Fail(ec ? kIoError : kRefused, childName + (ec ? ": cannot read (" + ec.message() + ")" : ": not a regular file or folder"));
            if (!CheckName(childName, isDir)) return false;
            Item item;
            item.name = childName;
            item.isDir = isDir;
            item.source = entry.path();
            if (!isDir) {
                item.size = entry.file_size(ec);
                if (ec) return Fail(kIoError, childName + ": cannot read (" + ec.message() + ")");
            }
            items->push_back(item);
            if (isDir && !Walk(entry.path(), childName)) return false;
        }
        return true;
    }
};

}  // namespace

bool ScanRelease(const fs::path& folder, std::vector<Item>* items, Failure* failure, const zpvx::ZipLimits& limits) {
    items->clear();
    std::error_code ec;
    const fs::path abs = fs::absolute(folder, ec).lexically_normal();
    const fs::path base = abs.has_filename() ? abs : abs.parent_path();
    Scanner s{limits, items, failure};
    const fs::file_status st = fs::symlink_status(base, ec);
    if (!ec && fs::is_symlink(st)) return s.Fail(kRefused, folder.u8string() + ": a link; name the real folder");
    if (ec || !fs::is_directory(st)) return s.Fail(kIoError, folder.u8string() + ": not a folder");
    std::string top;
    try {
        top = base.filename().u8string();
    } catch (const std::exception&) {
        return s.Fail(kRefused, "the folder's name is not valid text");
    }
    if (top.empty()) return s.Fail(kRefused, folder.u8string() + ": the folder needs a name of its own (the client's folder)");
    if (!s.CheckName(top, true)) return false;
    items->push_back(Item{top, true, 0, base});
    return s.Walk(base, top);
}

std::string FindShortNameAlias(const zpvx::PathTree& tree) {
    for (std::uint32_t n = 0; n < tree.Size(); ++n) {
        for (const std::uint32_t* a = tree.ChildrenBegin(n); a != tree.ChildrenEnd(n); ++a) {
            const std::string shortName = tree.Name(*a);
            if (shortName.find('~') == std::string::npos) continue;
            for (const std::uint32_t* b = tree.ChildrenBegin(n); b != tree.ChildrenEnd(n); ++b) {
                if (a != b && zpvx::MayBeShortNameOf(shortName, tree.Name(*b)))
                    return tree.Rel(*a) + ": may be the short name Windows gives to \"" + tree.Rel(*b) +
                           "\"; the two could end up as one file. Rename it";
            }
        }
    }
    return "";
}

bool CheckPackageNames(const std::vector<Item>& items, Failure* failure, const zpvx::ZipLimits& limits) {
    auto fail = [&](const std::string& text) {
        failure->status = kRefused;
        failure->text = text;
        return false;
    };
    if (items.size() > limits.maxEntries) return fail("more than " + std::to_string(limits.maxEntries) + " entries: the updater refuses the package");
    std::vector<zpvx::ZipEntry> entries(items.size());
    // Folders as well as files: two folders of one name on the client would merge into one.
    std::map<std::string, const std::string*> folded;
    std::uint64_t total = 0, directory = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const Item& it = items[i];
        if (it.size > limits.maxEntrySize)
            return fail(it.name + ": larger than the updater accepts (" + std::to_string(limits.maxEntrySize >> 20) + " MiB per file)");
        total += it.size;
        if (total > limits.maxTotalSize)
            return fail("the files add up to more than the updater accepts (" + std::to_string(limits.maxTotalSize >> 20) + " MiB)");
        directory += kCentralFixed + it.name.size() + (it.isDir ? 1 : 0) + (it.size >= 0xFFFFFFFFull ? 28 : 0);
        auto twin = folded.emplace(zpvx::FoldPath(it.name), &it.name);
        if (!twin.second)
            return fail("\"" + *twin.first->second + "\" and \"" + it.name + "\" differ only in letter case: they are one name on the client");
        entries[i].rel = it.name;
        entries[i].isDir = it.isDir;
    }
    if (directory > limits.maxDirectoryBytes) return fail("the names take more room than the updater's limit for the package's directory");
    zpvx::PathTree tree;
    std::string why;
    if (tree.Build(entries, static_cast<std::size_t>(limits.maxNodes), &why) != ZPV_EXTRACT_OK)
        return fail(why + " (names that differ only in letter case are one file on the client)");
    why = FindShortNameAlias(tree);
    if (!why.empty()) return fail(why);
    return true;
}

Layout CheckLayout(const std::vector<std::string>& names, const std::vector<bool>& isDir) {
    Layout out;
    std::vector<std::string> tops;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& n = names[i];
        const std::size_t slash = n.find('/');
        const std::string first = n.substr(0, slash);
        if (slash == std::string::npos && !isDir[i]) {
            out.ok = false;
            out.problem = "\"" + n + "\" is a file at the top: it would land beside the client's folder, not in it";
            return out;
        }
        if (std::find(tops.begin(), tops.end(), first) == tops.end()) tops.push_back(first);
        const std::size_t lastSlash = n.rfind('/');
        if (!isDir[i] && AsciiLowered(n.substr(lastSlash == std::string::npos ? 0 : lastSlash + 1)) == kUpdaterName) {
            const std::size_t depth = std::count(n.begin(), n.end(), '/');
            if (depth == 2 && out.updater.empty()) {
                out.updater = n;
            } else if (depth != 2) {
                out.ok = false;
                out.problem = "\"" + n + "\": the updater must sit in a folder directly inside the client's folder (" +
                              (depth < 2 ? "the package was made one level too deep, from inside the client's folder"
                                         : "the package was made one level too high, from the folder above the client's") +
                              "); it unpacks into the folder two levels above the updater";
                return out;
            }
        }
    }
    if (tops.size() != 1) {
        out.ok = false;
        out.problem = tops.empty() ? "the package is empty"
                                   : "entries in more than one top folder (\"" + tops[0] + "\", \"" + tops[1] +
                                         "\"): the package must hold exactly the client's folder";
        return out;
    }
    out.top = tops[0];
    return out;
}

}  // namespace zpvpack
