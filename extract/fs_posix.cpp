#include "extract/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
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
    PosixLock(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {}
    ~PosixLock() override {
        ::unlink(m_path.c_str());
        ::close(m_fd);
    }
private:
    int m_fd;
    std::string m_path;
};

class PosixFs : public Fs {
public:
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

    std::unique_ptr<ByteSource> OpenRead(const NativeString& path) override {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return nullptr;
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return nullptr;
        }
        return std::make_unique<PosixSource>(fd, static_cast<std::uint64_t>(st.st_size));
    }
    std::unique_ptr<OutFile> CreateNew(const NativeString& path, FsResult* result) override {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            *result = FromErrno(errno);
            return nullptr;
        }
        *result = FsResult::kOk;
        return std::make_unique<PosixOutFile>(fd);
    }
    FsKind Kind(const NativeString& path) override {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) return FsKind::kNone;
        if (S_ISREG(st.st_mode)) return FsKind::kFile;
        if (S_ISDIR(st.st_mode)) return FsKind::kDir;
        return FsKind::kOther;
    }
    FsResult MakeDir(const NativeString& path) override {
        return ::mkdir(path.c_str(), 0755) == 0 ? FsResult::kOk : FromErrno(errno);
    }
    FsResult Rename(const NativeString& from, const NativeString& to) override {
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return FsResult::kOk;
        if (errno != EINVAL && errno != ENOSYS) return FromErrno(errno);
        // File systems without the no-replace flag: check first (the lock keeps us alone).
        struct stat st;
        if (::lstat(to.c_str(), &st) == 0) return FsResult::kExists;
        return ::rename(from.c_str(), to.c_str()) == 0 ? FsResult::kOk : FromErrno(errno);
    }
    FsResult RemoveFile(const NativeString& path) override {
        return ::unlink(path.c_str()) == 0 ? FsResult::kOk : FromErrno(errno);
    }
    FsResult RemoveDir(const NativeString& path) override {
        return ::rmdir(path.c_str()) == 0 ? FsResult::kOk : FromErrno(errno);
    }
    bool List(const NativeString& dir, std::vector<NativeString>* names) override {
        names->clear();
        DIR* d = ::opendir(dir.c_str());
        if (!d) return false;
        while (struct dirent* ent = ::readdir(d)) {
            std::string n = ent->d_name;
            if (n != "." && n != "..") names->push_back(n);
        }
        ::closedir(d);
        return true;
    }
    FsResult PatchByte(const NativeString& path, std::uint64_t offset, char value) override {
        int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return FromErrno(errno);
        FsResult r = FsResult::kOk;
        if (::pwrite(fd, &value, 1, static_cast<off_t>(offset)) != 1 || ::fsync(fd) != 0) r = FromErrno(errno);
        ::close(fd);
        return r;
    }
    FsResult SyncDir(const NativeString& dir) override {
        int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return FromErrno(errno);
        FsResult r = ::fsync(fd) == 0 ? FsResult::kOk : FromErrno(errno);
        ::close(fd);
        return r;
    }
    std::unique_ptr<DirLock> Lock(const NativeString& path, FsResult* result) override {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            *result = FromErrno(errno);
            return nullptr;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            *result = errno == EWOULDBLOCK ? FsResult::kLocked : FromErrno(errno);
            ::close(fd);
            return nullptr;
        }
        *result = FsResult::kOk;
        return std::make_unique<PosixLock>(fd, path);
    }
    void SleepMs(unsigned ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

}  // namespace

Fs& RealFs() {
    static PosixFs fs;
    return fs;
}

}  // namespace zpvx
