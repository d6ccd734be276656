#include "pack/delta.h"

#include <fstream>
#include <map>

#include "extract/zip_path.h"

namespace zpvpack {
namespace {

std::string Inner(const std::string& name) {
    const std::size_t slash = name.find('/');
    return slash == std::string::npos ? std::string() : name.substr(slash + 1);
}

bool SameContent(const fs::path& a, const fs::path& b, bool* readable) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    std::vector<char> p(256 * 1024), q(p.size());
    *readable = x.is_open() && y.is_open();
    while (*readable) {
        x.read(p.data(), static_cast<std::streamsize>(p.size()));
        y.read(q.data(), static_cast<std::streamsize>(q.size()));
        if (x.gcount() != y.gcount() || !std::equal(p.begin(), p.begin() + x.gcount(), q.begin())) return false;
        if (x.gcount() == 0 || x.eof() || y.eof()) return x.eof() == y.eof() && !x.bad() && !y.bad();
    }
    return false;
}

}  // namespace

bool MakeDelta(const std::vector<Item>& oldItems, const std::vector<Item>& newItems, Delta* delta, Failure* failure) {
    auto fail = [&](int status, const std::string& text) {
        failure->status = status;
        failure->text = text;
        return false;
    };
    *delta = Delta();
    if (oldItems.empty() || newItems.empty()) return fail(kRefused, "empty release");
    if (zpvx::FoldPath(oldItems[0].name) != zpvx::FoldPath(newItems[0].name))
        return fail(kRefused, "the two folders have different names (\"" + oldItems[0].name + "\", \"" + newItems[0].name +
                                  "\"): both must be the client's folder, as released");
    // Matched as the client's file system matches names: ASCII letter case ignored.
    std::map<std::string, const Item*> old;
    for (const Item& it : oldItems) old[zpvx::FoldPath(Inner(it.name))] = &it;
    delta->items.push_back(newItems[0]);
    for (std::size_t i = 1; i < newItems.size(); ++i) {
        const Item& it = newItems[i];
        auto o = old.find(zpvx::FoldPath(Inner(it.name)));
        if (o == old.end()) {
            delta->items.push_back(it);
            delta->added += !it.isDir;
            continue;
        }
        const Item& was = *o->second;
        old.erase(o);
        if (was.isDir != it.isDir)
            return fail(kRefused, Inner(it.name) + ": a " + (was.isDir ? "folder" : "file") + " in OLD and a " + (it.isDir ? "folder" : "file") +
                                      " in NEW; the updater does not replace one with the other, so this needs a full package and a cleaned client");
        if (it.isDir) continue;
        bool readable = true;
        if (was.size == it.size && SameContent(was.source, it.source, &readable)) {
            ++delta->unchanged;
            delta->unchangedBytes += it.size;
            continue;
        }
        if (!readable) return fail(kIoError, Inner(it.name) + ": cannot read it in both folders");
        delta->items.push_back(it);
        ++delta->changed;
    }
    for (const auto& [key, it] : old)
        if (!key.empty()) delta->gone.push_back(Inner(it->name) + (it->isDir ? "/" : ""));
    return true;
}

}  // namespace zpvpack
