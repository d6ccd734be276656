#include "pack/package_check.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "app/core/ascii.h"
#include "extract/extract_status.h"
#include "extract/zip_path.h"
#include "pack/file_source.h"

namespace zpvpack {
namespace {

struct InstalledFile {
    std::string rel;
    bool isDir = false;
    std::uint64_t size = 0;
};

// The installed tree by case-folded path, as the client's file system matches names.
bool ListInstalled(const fs::path& root, std::map<std::string, InstalledFile>* out, Failure* failure) {
    std::error_code ec;
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string rel = fs::relative(it->path(), root, ec).generic_u8string();
        if (ec) break;
        // The extractor's own work folder is no part of the client.
        if (zpvx::FoldPath(rel.substr(0, rel.find('/'))) == zpvx::kWorkFolderName) {
            it.disable_recursion_pending();
            continue;
        }
        InstalledFile f{rel, it->is_directory(ec), 0};
        if (!f.isDir) f.size = it->file_size(ec);
        if (ec) break;
        (*out)[zpvx::FoldPath(rel)] = f;
    }
    if (ec) {
        failure->status = kIoError;
        failure->text = root.u8string() + ": cannot read the installed folder (" + ec.message() + ")";
        return false;
    }
    return true;
}

// Takes an entry's data; when it has an installed counterpart of the same size, compares.
class CompareSink : public zpvx::EntrySink {
public:
    explicit CompareSink(const fs::path* installed) {
        if (installed) m_in.open(*installed, std::ios::binary);
        m_same = installed && m_in.is_open();
    }
    bool Write(const unsigned char* data, std::size_t n) override {
        if (!m_same) return true;
        m_buf.resize(n);
        if (!m_in.read(m_buf.data(), static_cast<std::streamsize>(n)) || !std::equal(m_buf.begin(), m_buf.end(), reinterpret_cast<const char*>(data)))
            m_same = false;
        return true;
    }
    bool Same() const { return m_same; }

private:
    std::ifstream m_in;
    std::vector<char> m_buf;
    bool m_same = false;
};

}  // namespace

bool CheckPackage(const fs::path& zip, const fs::path& installed, CheckResult* result, Failure* failure, unsigned threads) {
    auto fail = [&](int status, const std::string& text) {
        failure->status = status;
        failure->text = text;
        return false;
    };
    *result = CheckResult();
    std::error_code ec;
    if (!fs::is_regular_file(zip, ec)) return fail(kIoError, zip.u8string() + ": not a readable file");
    FileSource src(zip);
    if (!src.Ok()) return fail(kIoError, zip.u8string() + ": cannot open the package");
    zpvx::ZipReader reader;
    int st = reader.Open(&src);
    if (st == ZPV_EXTRACT_ARCHIVE_UNREADABLE) return fail(kIoError, zip.u8string() + ": " + reader.Error());
    if (st) return fail(kRefused, "the updater refuses the package (extractor status " + std::to_string(st) + "): " + reader.Error());
    const std::vector<zpvx::ZipEntry>& entries = reader.Entries();
    const zpvx::PathTree& tree = reader.Tree();
    const std::string alias = FindShortNameAlias(tree);
    if (!alias.empty()) return fail(kRefused, alias);

    std::vector<std::string> names;
    std::vector<bool> dirs;
    for (const zpvx::ZipEntry& e : entries) {
        names.push_back(e.rel);
        dirs.push_back(e.isDir);
        if (e.isDir) ++result->folders;
        else ++result->files;
        result->content += e.size;
    }
    result->layout = CheckLayout(names, dirs);
    if (!result->layout.ok) return fail(kRefused, result->layout.problem);

    // The installed tree and the package's paths inside the client folder, implied folders too.
    std::map<std::string, InstalledFile> have;
    std::vector<const InstalledFile*> counterpart(entries.size(), nullptr);
    if (!installed.empty()) {
        const fs::path root = fs::absolute(installed, ec).lexically_normal();
        const fs::path base = root.has_filename() ? root : root.parent_path();
        if (!fs::is_directory(base, ec)) return fail(kIoError, installed.u8string() + ": not a folder");
        const std::string name = base.filename().u8string();
        if (zpvx::FoldPath(name) != zpvx::FoldPath(result->layout.top))
            return fail(kRefused, "the package's top folder is \"" + result->layout.top + "\" but the installed client's folder is \"" +
                                      name + "\": it would unpack beside the client, not over it");
        if (!ListInstalled(base, &have, failure)) return false;
        std::map<std::string, bool> held;   // folded path -> still present in the package
        for (std::uint32_t n = 1; n < tree.Size(); ++n) {
            const std::string rel = tree.Rel(n);
            const std::size_t slash = rel.find('/');
            if (slash == std::string::npos) continue;
            const std::string inner = rel.substr(slash + 1);
            const bool isDir = tree.Node(n).isDir;
            auto it = have.find(zpvx::FoldPath(inner));
            held[zpvx::FoldPath(inner)] = true;
            if (it == have.end()) {
                if (!isDir) result->changes.add.push_back(inner);
                continue;
            }
            if (it->second.isDir != isDir)
                return fail(kRefused, "\"" + inner + "\" is a " + (isDir ? "folder" : "file") + " in the package but a " +
                                          (isDir ? "file" : "folder") + " in the installed client: the updater refuses to replace one with the other");
        }
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const std::string& rel = entries[i].rel;
            const std::size_t slash = rel.find('/');
            if (entries[i].isDir || slash == std::string::npos) continue;
            auto it = have.find(zpvx::FoldPath(rel.substr(slash + 1)));
            if (it != have.end() && it->second.size == entries[i].size) counterpart[i] = &it->second;
            else if (it != have.end()) result->changes.replace.push_back(rel.substr(slash + 1));
        }
        for (const auto& [key, f] : have)
            if (!f.isDir && !held.count(key)) result->changes.staysBehind.push_back(f.rel);
    }

    // Every entry inflated and verified, on as many threads as there are cores, each with its
    // own reader; the first failure in package order is reported.
    if (threads == 0) threads = std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, std::max<std::size_t>(1, entries.size())));
    std::vector<int> status(entries.size(), ZPV_EXTRACT_OK);
    std::vector<std::string> error(entries.size());
    std::vector<char> same(entries.size(), 0);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::vector<fs::path> installedPath(entries.size());
    const fs::path instRoot = installed.empty() ? fs::path() : fs::absolute(installed, ec).lexically_normal();
    auto work = [&](zpvx::ZipReader* r) {
        for (std::size_t i; !stop && (i = next++) < entries.size();) {
            fs::path p;
            if (counterpart[i]) p = (instRoot.has_filename() ? instRoot : instRoot.parent_path()) / fs::u8path(counterpart[i]->rel);
            CompareSink sink(counterpart[i] ? &p : nullptr);
            status[i] = r->ReadEntry(r->Entries()[i], &sink);
            if (status[i]) {
                error[i] = r->Error();
                stop = true;
            }
            same[i] = sink.Same();
        }
    };
    std::vector<std::unique_ptr<FileSource>> sources;
    std::vector<std::unique_ptr<zpvx::ZipReader>> readers;
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t) {
        sources.push_back(std::make_unique<FileSource>(zip));
        readers.push_back(std::make_unique<zpvx::ZipReader>());
        if (!sources.back()->Ok() || readers.back()->Open(sources.back().get()) != ZPV_EXTRACT_OK)
            return fail(kIoError, zip.u8string() + ": cannot read the package again");
    }
    for (auto& r : readers) pool.emplace_back(work, r.get());
    work(&reader);
    for (std::thread& t : pool) t.join();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (status[i] == ZPV_EXTRACT_ARCHIVE_UNREADABLE) return fail(kIoError, zip.u8string() + ": " + error[i]);
        if (status[i]) return fail(kRefused, "the updater refuses the package (extractor status " + std::to_string(status[i]) + "): " + error[i]);
        if (counterpart[i]) {
            const std::string inner = entries[i].rel.substr(entries[i].rel.find('/') + 1);
            if (same[i]) ++result->changes.unchanged;
            else result->changes.replace.push_back(inner);
        }
    }
    std::sort(result->changes.replace.begin(), result->changes.replace.end());
    return true;
}

}  // namespace zpvpack
