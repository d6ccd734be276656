// The extractor's file system natively: descriptors and *at() calls below the confined target.
#include "extract/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <climits>
#include <ctime>
#include <thread>

namespace zpvx {
namespace {

class PosixSource : public ByteSource {
public:
    PosixSource(int fd, std::uint64_t size) : m_fd(fd), m_size(size) {}
    ~PosixSource() override { ::close(m_fd); }
    std::uint64_t Size() const override { return m_size; }
    bool ReadAt(std::uint64_t offset, void* buf, std::size_t n) override {
        auto* p = static_cast<char*>(buf);
        while (n > 0) {
            ssize_t r = ::pread(m_fd, p, n, static_cast<off_t>(offset));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            p += r;
            n -= static_cast<std::size_t>(r);
            offset += static_cast<std::uint64_t>(r);
        }
        return true;
    }
private:
    int m_fd;
    std::uint64_t m_size;
};

FsResult FromErrno(int e) {
    switch (e) {
        case ENOENT: case ENOTDIR: return FsResult::kNotFound;
        case EEXIST: case ENOTEMPTY: return FsResult::kExists;
        case EBUSY: case ETXTBSY: return FsResult::kLocked;
        case ENOSPC: case EDQUOT: return FsResult::kNoSpace;
        case EROFS: case EACCES: case EPERM: return FsResult::kReadOnly;
        default: return FsResult::kFailed;
    }
}

class PosixOutFile : public OutFile {
public:
    explicit PosixOutFile(int fd) : m_fd(fd) {}
    ~PosixOutFile() override {
        if (m_fd >= 0) ::close(m_fd);
    }
    FsResult Write(const void* data, std::size_t n) override {
        const char* p = static_cast<const char*>(data);
        while (n > 0) {
            ssize_t r = ::write(m_fd, p, n);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return r < 0 ? FromErrno(errno) : FsResult::kFailed;
            p += r;
            n -= static_cast<std::size_t>(r);
        }
        return FsResult::kOk;
    }
    FsResult Sync() override { return ::fsync(m_fd) == 0 ? FsResult::kOk : FromErrno(errno); }
    FsResult Finish(std::uint16_t dosDate, std::uint16_t dosTime) override {
        std::tm tm{};
        tm.tm_year = ((dosDate >> 9) & 0x7F) + 80;
        tm.tm_mon = ((dosDate >> 5) & 0x0F) - 1;
        tm.tm_mday = dosDate & 0x1F;
        tm.tm_hour = (dosTime >> 11) & 0x1F;
        tm.tm_min = (dosTime >> 5) & 0x3F;
        tm.tm_sec = (dosTime & 0x1F) * 2;
        tm.tm_isdst = -1;
        std::time_t t = std::mktime(&tm);
        if (t != static_cast<std::time_t>(-1) && tm.tm_mday > 0) {
            struct timespec ts[2];
            ts[0].tv_sec = ts[1].tv_sec = t;
            ts[0].tv_nsec = ts[1].tv_nsec = 0;
            ::futimens(m_fd, ts);   // a time that cannot be set is no reason to fail
        }
        int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0 ? FsResult::kOk : FromErrno(errno);
    }
private:
    int m_fd;
};

class PosixLock : public DirLock {
public:
    PosixLock(int fd, int dirFd, std::string name) : m_fd(fd), m_dirFd(dirFd), m_name(std::move(name)) {}
    ~PosixLock() override {
        ::unlinkat(m_dirFd, m_name.c_str(), 0);
        ::close(m_fd);
        if (m_dirFd != AT_FDCWD) ::close(m_dirFd);
    }
private:
    int m_fd, m_dirFd;
    std::string m_name;
};

FsResult FromOpenErrno(int e) { return e == ELOOP ? FsResult::kLink : FromErrno(e); }

// An opened regular file, or -1 (a FIFO, device or link is refused without blocking on it).
// Outside the confined folder (dirFd AT_FDCWD: the caller's own package path) links are followed.
int OpenRegular(int dirFd, const std::string& name, int flags, FsResult* result) {
    const int follow = dirFd == AT_FDCWD ? 0 : O_NOFOLLOW;
    int fd = ::openat(dirFd, name.c_str(), flags | O_NONBLOCK | follow | O_CLOEXEC, 0644);
    if (fd < 0) {
        *result = FromOpenErrno(errno);
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *result = FsResult::kLink;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    *result = FsResult::kOk;
    return fd;
}

class PosixFs : public Fs {
public:
    ~PosixFs() override {
        Forget(0);
        if (m_root >= 0) ::close(m_root);
    }
    FsResult Confine(const NativeString& folder, NativeString* resolved) override {
        int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return FromErrno(errno);
        char* real = ::realpath(folder.c_str(), nullptr);
        struct stat a, b;
        const bool same = real && ::fstat(fd, &a) == 0 && ::stat(real, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
        if (!same) {
            std::free(real);
            ::close(fd);
            return FsResult::kFailed;
        }
        Forget(0);
        if (m_root >= 0) ::close(m_root);
        m_root = fd;
        m_rootPath = real;
        std::free(real);
        *resolved = m_rootPath;
        return FsResult::kOk;
    }
    NativeString Absolute(const NativeString& path) override {
        std::string p = path;
        if (p.empty() || p[0] != '/') {
            char buf[PATH_MAX];
            if (::getcwd(buf, sizeof buf)) p = std::string(buf) + "/" + p;
        }
        while (p.size() > 1 && p.back() == '/') p.pop_back();
        return p;
    }
    NativeString Join(const NativeString& base, const std::string& rel) override {
        if (rel.empty()) return base;
        return base.size() > 0 && base.back() == '/' ? base + rel : base + "/" + rel;
    }
    NativeString Child(const NativeString& base, const NativeString& name) override { return Join(base, name); }
    std::string Display(const NativeString& path) override { return path; }
    NativeString Native(const std::string& utf8Name) override { return utf8Name; }
    // Names here are case-sensitive: only the very same name is the same file.
    bool SameName(const NativeString& a, const NativeString& b) override { return a == b; }

    std::unique_ptr<ByteSource> OpenRead(const NativeString& path, FsResult* result) override {
        FsResult ignored;
        FsResult& r = result ? *result : ignored;
        Parent p = At(path);
        if (p.fd == -1) return r = p.result, nullptr;
        int fd = OpenRegular(p.fd, p.leaf, O_RDONLY, &r);
        struct stat st;
        if (fd < 0 || ::fstat(fd, &st) != 0) {
            if (fd >= 0) {
                ::close(fd);
                r = FsResult::kFailed;
            }
            return nullptr;
        }
        return std::make_unique<PosixSource>(fd, static_cast<std::uint64_t>(st.st_size));
    }
    std::unique_ptr<OutFile> CreateNew(const NativeString& path, FsResult* result) override {
        Parent p = At(path);
        if (p.fd == -1) return *result = p.result, nullptr;
        int fd = ::openat(p.fd, p.leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            *result = FromErrno(errno);
            return nullptr;
        }
        *result = FsResult::kOk;
        return std::make_unique<PosixOutFile>(fd);
    }
    FsKind Kind(const NativeString& path) override {
        struct stat st;
        if (path == m_rootPath && m_root >= 0) return FsKind::kDir;
        Parent p = At(path);
        if (p.fd == -1) return p.result == FsResult::kNotFound ? FsKind::kNone : FsKind::kOther;
        if (::fstatat(p.fd, p.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT || errno == ENOTDIR ? FsKind::kNone : FsKind::kOther;
        if (S_ISREG(st.st_mode)) return FsKind::kFile;
        if (S_ISDIR(st.st_mode)) return FsKind::kDir;
        return FsKind::kOther;
    }
    FsResult MakeDir(const NativeString& path) override {
        Parent p = At(path);
        if (p.fd == -1) return p.result;
        return ::mkdirat(p.fd, p.leaf.c_str(), 0755) == 0 ? FsResult::kOk : FromErrno(errno);
    }
    FsResult Rename(const NativeString& from, const NativeString& to) override {
        Parent a = At(from);
        if (a.fd == -1) return a.result;
        const int fromFd = a.fd == AT_FDCWD ? AT_FDCWD : ::fcntl(a.fd, F_DUPFD_CLOEXEC, 0);
        if (fromFd == -1) return FsResult::kFailed;
        Parent b = At(to);
        FsResult r = b.fd == -1 ? b.result : RenameAt(fromFd, a.leaf, b.fd, b.leaf);
        if (fromFd != AT_FDCWD) ::close(fromFd);
        return r;
    }
    FsResult RemoveFile(const NativeString& path) override {
        Parent p = At(path);
        if (p.fd == -1) return p.result;
        return ::unlinkat(p.fd, p.leaf.c_str(), 0) == 0 ? FsResult::kOk : FromErrno(errno);
    }
    FsResult RemoveDir(const NativeString& path) override {
        Parent p = At(path);
        if (p.fd == -1) return p.result;
        Forget(p.depth);   // nothing below a removed folder stays open
        return ::unlinkat(p.fd, p.leaf.c_str(), AT_REMOVEDIR) == 0 ? FsResult::kOk : FromErrno(errno);
    }
    bool List(const NativeString& dir, std::vector<NativeString>* names) override {
        names->clear();
        int fd = OpenDir(dir);
        DIR* d = fd >= 0 ? ::fdopendir(fd) : nullptr;
        if (!d) {
            if (fd >= 0) ::close(fd);
            return false;
        }
        while (struct dirent* ent = ::readdir(d)) {
            std::string n = ent->d_name;
            if (n != "." && n != "..") names->push_back(n);
        }
        ::closedir(d);
        return true;
    }
    FsResult PatchByte(const NativeString& path, std::uint64_t offset, char value) override {
        Parent p = At(path);
        if (p.fd == -1) return p.result;
        FsResult r;
        int fd = OpenRegular(p.fd, p.leaf, O_WRONLY, &r);
        if (fd < 0) return r;
        if (::pwrite(fd, &value, 1, static_cast<off_t>(offset)) != 1 || ::fsync(fd) != 0) r = FromErrno(errno);
        ::close(fd);
        return r;
    }
    FsResult SyncDir(const NativeString& dir) override {
        int fd = OpenDir(dir);
        if (fd < 0) return FsResult::kFailed;
        FsResult r = ::fsync(fd) == 0 ? FsResult::kOk : FromErrno(errno);
        ::close(fd);
        return r;
    }
    std::unique_ptr<DirLock> Lock(const NativeString& path, FsResult* result) override {
        Parent p = At(path);
        if (p.fd == -1) return *result = p.result, nullptr;
        int fd = OpenRegular(p.fd, p.leaf, O_RDWR | O_CREAT, result);
        if (fd < 0) return nullptr;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            *result = errno == EWOULDBLOCK ? FsResult::kLocked : FromErrno(errno);
            ::close(fd);
            return nullptr;
        }
        const int dirFd = p.fd == AT_FDCWD ? AT_FDCWD : ::fcntl(p.fd, F_DUPFD_CLOEXEC, 0);
        *result = FsResult::kOk;
        return std::make_unique<PosixLock>(fd, dirFd, p.leaf);
    }
    void SleepMs(unsigned ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

private:
    // Where a path's last name is looked up: a folder opened below the root, or (outside the
    // confined folder) the path as given. fd -1 with the reason when a folder on the way is
    // missing, a link or not a folder.
    struct Parent {
        int fd = -1;
        std::string leaf;
        std::size_t depth = 0;   // folders between the root and the leaf
        FsResult result = FsResult::kOk;
    };

    // The names below the root, or false for a path outside it (and for the root itself).
    bool Below(const std::string& path, std::vector<std::string>* names) const {
        if (m_root < 0 || path.size() <= m_rootPath.size() || path.compare(0, m_rootPath.size(), m_rootPath) != 0)
            return false;
        std::size_t pos = m_rootPath.size();
        if (m_rootPath != "/" && path[pos++] != '/') return false;
        names->clear();
        while (pos <= path.size()) {
            std::size_t slash = path.find('/', pos);
            if (slash == std::string::npos) slash = path.size();
            names->push_back(path.substr(pos, slash - pos));
            pos = slash + 1;
        }
        return true;
    }

    Parent At(const std::string& path) {
        Parent p;
        std::vector<std::string> names;
        if (!Below(path, &names)) {
            p.fd = AT_FDCWD;
            p.leaf = path;
            return p;
        }
        p.leaf = names.back();
        names.pop_back();
        p.depth = names.size();
        p.fd = Walk(names, &p.result);
        return p;
    }

    // The folder named by names below the root, each opened without following a link. The
    // folders of the last walk stay open and are reused while a later path shares them.
    int Walk(const std::vector<std::string>& names, FsResult* result) {
        std::size_t keep = 0;
        while (keep < names.size() && keep < m_chain.size() && m_chain[keep].first == names[keep]) ++keep;
        Forget(keep);
        for (std::size_t i = keep; i < names.size(); ++i) {
            const int at = i == 0 ? m_root : m_chain[i - 1].second;
            int fd = ::openat(at, names[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) {
                const int e = errno;
                struct stat st;
                *result = e == ELOOP || (e == ENOTDIR && ::fstatat(at, names[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                                         S_ISLNK(st.st_mode))
                              ? FsResult::kLink
                              : FromErrno(e);
                return -1;
            }
            m_chain.emplace_back(names[i], fd);
        }
        return names.empty() ? m_root : m_chain[names.size() - 1].second;
    }

    void Forget(std::size_t keep) {
        while (m_chain.size() > keep) {
            ::close(m_chain.back().second);
            m_chain.pop_back();
        }
    }

    // A new descriptor of a folder (the root, one below it, or one outside), for listing or syncing.
    int OpenDir(const std::string& dir) {
        std::vector<std::string> names;
        int at = AT_FDCWD;
        const char* name = dir.c_str();
        if (m_root >= 0 && dir == m_rootPath) {
            at = m_root;
            name = ".";
        } else if (Below(dir, &names)) {
            FsResult r;
            at = Walk(names, &r);
            if (at == -1) return -1;
            name = ".";
        }
        return ::openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }

    static FsResult RenameAt(int fromFd, const std::string& from, int toFd, const std::string& to) {
        if (::renameat2(fromFd, from.c_str(), toFd, to.c_str(), RENAME_NOREPLACE) == 0) return FsResult::kOk;
        if (errno != EINVAL && errno != ENOSYS) return FromErrno(errno);
        // File systems without the no-replace flag: check first (the lock keeps us alone).
        struct stat st;
        if (::fstatat(toFd, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return FsResult::kExists;
        return ::renameat(fromFd, from.c_str(), toFd, to.c_str()) == 0 ? FsResult::kOk : FromErrno(errno);
    }

    int m_root = -1;
    std::string m_rootPath;
    std::vector<std::pair<std::string, int>> m_chain;
};

}  // namespace

std::unique_ptr<Fs> NewRealFs() { return std::make_unique<PosixFs>(); }

}  // namespace zpvx
