// zpvpack: makes, checks and compares update packages on the publisher's side.
// Exit statuses: 0 done (check: the updater accepts the package), 1 the package or the release
// folder is refused, 2 wrong command line, 3 a file cannot be read or written.
#include <cstdio>
#include <string>
#include <vector>

#include "app/core/zipconf.h"
#include "pack/delta.h"
#include "pack/package_check.h"
#include "pack/package_writer.h"
#include "pack/release.h"

#ifdef _WIN32
#include <windows.h>
#include "app/core/utf8.h"
#endif

using namespace zpvpack;

namespace {

const char kHelp[] =
    "usage: zpvpack pack FOLDER -o PACKAGE.zip [-url=BASE]\n"
    "       zpvpack check PACKAGE.zip [-installed=CLIENT_FOLDER]\n"
    "       zpvpack diff OLD_FOLDER NEW_FOLDER -o DELTA.zip [-url=BASE]\n"
    "       zpvpack --help\n"
    "\n"
    "pack   Packs the release folder FOLDER: the client's folder as installed (the one that holds\n"
    "       the updater's folder, e.g. Veltaro/ with Veltaro/Updater/ZPVUpdate.exe). Its name is\n"
    "       the package's top folder, because the updater unpacks into the folder above it. The\n"
    "       same folder always gives the same bytes and the same MD5. Refuses, naming the file,\n"
    "       whatever the updater would refuse, and links.\n"
    "check  Checks a package as the updater does before it changes anything (names, sizes,\n"
    "       every entry's data and CRC) and the client's layout, without extracting.\n"
    "diff   Packs only the files of NEW that are new or differ from OLD, for clients at OLD.\n"
    "\n"
    "options\n"
    "  -o FILE, -o=FILE        the package to write (replaced only once complete)\n"
    "  -url=BASE               where the package will be served: a folder URL (the package's file\n"
    "                          name is appended) or the package's full URL; prints the updater's\n"
    "                          -url= and -md5= arguments\n"
    "  -installed=FOLDER       check: the installed client folder; lists what the package adds,\n"
    "                          replaces, leaves unchanged, and what stays behind\n"
    "  -threads=N              deflating or checking threads (default: one per core)\n"
    "  -h, --help              this text\n"
    "\n"
    "exit status: 0 done (check: the updater accepts the package), 1 package or folder refused,\n"
    "             2 wrong command line, 3 cannot read or write a file\n"
    "\n"
    "example: zpvpack pack release/Veltaro -o update.zip -url=https://dl.example.com/client/\n";

int Usage(const std::string& why) {
    std::fprintf(stderr, "zpvpack: %s\n(zpvpack --help for the usage)\n", why.c_str());
    return kUsage;
}

int Refuse(const Failure& f) {
    std::fprintf(stderr, "zpvpack: %s: %s\n", f.status == kRefused ? "refused" : "error", f.text.c_str());
    return f.status;
}

struct Args {
    std::string command, out, url, installed;
    std::vector<std::string> operands;
    unsigned threads = 0;
};

// Parses the words after the command; "" when fine, else what is wrong.
std::string Parse(const std::vector<std::string>& words, Args* a) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        auto value = [&](const char* key, std::string* to) {
            const std::string k = std::string(key) + "=";
            if (w.compare(0, k.size(), k) != 0) return false;
            *to = w.substr(k.size());
            return true;
        };
        std::string threads;
        if (w == "-o") {
            if (++i == words.size()) return "-o needs a file name";
            a->out = words[i];
        } else if (value("-o", &a->out) || value("-url", &a->url) || value("-installed", &a->installed)) {
        } else if (value("-threads", &threads)) {
            if (threads.empty() || threads.size() > 2 || threads.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(threads) == 0)
                return "-threads= needs a number from 1 to 99";
            a->threads = static_cast<unsigned>(std::stoul(threads));
        } else if (!w.empty() && w[0] == '-') {
            return "unknown option " + w;
        } else {
            a->operands.push_back(w);
        }
    }
    return "";
}

// The updater's own reading of the arguments: the address must come out as given.
bool UpdaterArguments(const std::string& base, const fs::path& out, const std::string& md5, std::string* line) {
    std::string url = base;
    if (url.size() < 4 || url.compare(url.size() - 4, 4, ".zip") != 0) {
        if (url.empty() || url.back() != '/') url += '/';
        url += out.filename().u8string();
    }
    *line = "-url=" + url + " -md5=" + md5;
    const std::wstring wide(line->begin(), line->end());
    if (url.find_first_of(" \t\"") != std::string::npos || wide.size() != line->size()) return false;
    for (unsigned char c : url)
        if (c < 0x21 || c >= 0x7F) return false;
    const ZipConf conf = parseZipConf(wide.c_str(), L"C:\\Client\\Veltaro\\Updater\\");
    const std::string scheme = SchemePrefix(conf.scheme);
    return url.compare(0, scheme.size(), scheme) == 0 && !conf.host.empty() && scheme + conf.host + conf.urlPath == url &&
           conf.zipMd5 == md5;
}

void PrintPackage(const fs::path& out, const PackResult& r) {
    std::printf("package   %s\nsize      %llu bytes\nfiles     %llu (%llu stored, %llu deflated), %llu folders, %llu bytes unpacked\n"
                "md5       %s\nsha256    %s\n",
                out.u8string().c_str(), static_cast<unsigned long long>(r.bytes), static_cast<unsigned long long>(r.files),
                static_cast<unsigned long long>(r.stored), static_cast<unsigned long long>(r.files - r.stored),
                static_cast<unsigned long long>(r.folders), static_cast<unsigned long long>(r.content), r.md5.c_str(), r.sha256.c_str());
}

// Writes the package and prints what the publisher needs; with -url=, the updater's arguments.
int Write(const std::vector<Item>& items, const Args& a) {
    std::string line;
    if (!a.url.empty() && !UpdaterArguments(a.url, fs::u8path(a.out), std::string(32, '0'), &line))
        return Usage("-url=" + a.url + ": the updater would not read this as an http:// or https:// address of the package "
                     "(spaces, quotes and non-ASCII characters must be percent-encoded)");
    PackResult r;
    Failure f;
    if (!WritePackage(items, fs::u8path(a.out), &r, &f, a.threads)) return Refuse(f);
    PrintPackage(fs::u8path(a.out), r);
    if (!a.url.empty() && UpdaterArguments(a.url, fs::u8path(a.out), r.md5, &line)) std::printf("updater   %s\n", line.c_str());
    return kOk;
}

// The release folder's layout: refused when it cannot be the client's folder.
bool ReleaseLayout(const std::vector<Item>& items, Failure* f) {
    std::vector<std::string> names;
    std::vector<bool> dirs;
    for (const Item& it : items) {
        names.push_back(it.name);
        dirs.push_back(it.isDir);
    }
    const Layout l = CheckLayout(names, dirs);
    if (!l.ok) {
        f->status = kRefused;
        f->text = l.problem;
        return false;
    }
    if (l.updater.empty())
        std::printf("note      no ZPVUpdate.exe in the release: the installed updater stays as it is; the folder \"%s\" must "
                    "still be the client's own folder (the one holding the updater's folder)\n",
                    l.top.c_str());
    return true;
}

// The output may not be inside a folder being packed: it would pack itself.
bool OutsideOf(const fs::path& folder, const std::string& out) {
    std::error_code ec;
    const fs::path f = fs::weakly_canonical(fs::absolute(folder, ec), ec);
    const fs::path o = fs::weakly_canonical(fs::absolute(fs::u8path(out), ec), ec);
    auto fi = f.begin(), oi = o.begin();
    for (; fi != f.end() && oi != o.end() && *fi == *oi; ++fi, ++oi) {}
    return fi != f.end() && !(fi->empty() && std::next(fi) == f.end());
}

int Pack(const Args& a) {
    if (a.operands.size() != 1) return Usage("pack needs one release folder");
    if (a.out.empty()) return Usage("pack needs -o PACKAGE.zip");
    if (!OutsideOf(fs::u8path(a.operands[0]), a.out)) return Usage("the package may not be written inside the release folder");
    std::vector<Item> items;
    Failure f;
    if (!ScanRelease(fs::u8path(a.operands[0]), &items, &f) || !CheckPackageNames(items, &f) || !ReleaseLayout(items, &f))
        return Refuse(f);
    return Write(items, a);
}

void PrintList(const char* title, const std::vector<std::string>& paths) {
    for (const std::string& p : paths) std::printf("%-13s %s\n", title, p.c_str());
}

int Check(const Args& a) {
    if (a.operands.size() != 1) return Usage("check needs one package");
    if (!a.out.empty() || !a.url.empty()) return Usage("check takes no -o or -url=");
    CheckResult r;
    Failure f;
    if (!CheckPackage(fs::u8path(a.operands[0]), fs::u8path(a.installed), &r, &f, a.threads)) return Refuse(f);
    std::printf("package   %s\nentries   %llu files, %llu folders, %llu bytes unpacked; every entry inflated and its CRC-32 checked\n"
                "top       %s/ (unpacks into the folder above the client's folder)\nupdater   %s\n",
                a.operands[0].c_str(), static_cast<unsigned long long>(r.files), static_cast<unsigned long long>(r.folders),
                static_cast<unsigned long long>(r.content), r.layout.top.c_str(),
                r.layout.updater.empty() ? "not in the package (the installed one stays)" : r.layout.updater.c_str());
    if (!a.installed.empty()) {
        const InstalledChanges& c = r.changes;
        PrintList("add", c.add);
        PrintList("replace", c.replace);
        PrintList("stays behind", c.staysBehind);
        std::printf("installed %zu added, %zu replaced, %llu unchanged; %zu files stay behind from earlier releases "
                    "(the updater removes nothing)\n",
                    c.add.size(), c.replace.size(), static_cast<unsigned long long>(c.unchanged), c.staysBehind.size());
    }
    std::printf("verdict   the updater accepts this package\n");
    return kOk;
}

int Diff(const Args& a) {
    if (a.operands.size() != 2) return Usage("diff needs OLD_FOLDER and NEW_FOLDER");
    if (a.out.empty()) return Usage("diff needs -o DELTA.zip");
    if (!a.installed.empty()) return Usage("diff takes no -installed=");
    if (!OutsideOf(fs::u8path(a.operands[1]), a.out) || !OutsideOf(fs::u8path(a.operands[0]), a.out))
        return Usage("the package may not be written inside a release folder");
    std::vector<Item> oldItems, newItems;
    Failure f;
    Delta d;
    if (!ScanRelease(fs::u8path(a.operands[0]), &oldItems, &f) || !ScanRelease(fs::u8path(a.operands[1]), &newItems, &f) ||
        !CheckPackageNames(newItems, &f) || !ReleaseLayout(newItems, &f) || !MakeDelta(oldItems, newItems, &d, &f))
        return Refuse(f);
    PrintList("gone", d.gone);
    std::printf("delta     %llu new, %llu changed; %llu unchanged files (%llu bytes) left out\n", static_cast<unsigned long long>(d.added),
                static_cast<unsigned long long>(d.changed), static_cast<unsigned long long>(d.unchanged),
                static_cast<unsigned long long>(d.unchangedBytes));
    if (!d.gone.empty())
        std::printf("note      not in NEW: %zu paths of OLD; the updater unpacks over the installed tree and removes nothing, "
                    "so they stay on every client\n",
                    d.gone.size());
    std::printf("note      only for clients that hold exactly OLD; a client at another release needs the full package\n");
    return Write(d.items, a);
}

int Run(const std::vector<std::string>& args) {
    if (args.empty()) return Usage("missing command (pack, check or diff)");
    for (const std::string& w : args)
        if (w == "--help" || w == "-h" || w == "-help") {
            std::fputs(kHelp, stdout);
            return kOk;
        }
    Args a;
    const std::string why = Parse(std::vector<std::string>(args.begin() + 1, args.end()), &a);
    if (!why.empty()) return Usage(why);
    if (args[0] == "pack") return Pack(a);
    if (args[0] == "check") return Check(a);
    if (args[0] == "diff") return Diff(a);
    return Usage("unknown command " + args[0]);
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(WideToUtf8(argv[i]));
    return Run(args);
}
#else
int main(int argc, char** argv) { return Run(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
