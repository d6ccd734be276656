// The extractor's file system on Windows: handles that pin each folder on the way while a path is used.
#include "extract/fs.h"

#include <windows.h>
#include <aclapi.h>

#include <utility>
#include <vector>

#include "app/core/utf8.h"

namespace zpvx {
namespace {

FsResult FromError(DWORD e) {
    switch (e) {
        case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: return FsResult::kNotFound;
        case ERROR_FILE_EXISTS: case ERROR_ALREADY_EXISTS: case ERROR_DIR_NOT_EMPTY: return FsResult::kExists;
        // In use by a running program, or held open without sharing delete access.
        case ERROR_SHARING_VIOLATION: case ERROR_LOCK_VIOLATION: case ERROR_ACCESS_DENIED:
        case ERROR_USER_MAPPED_FILE: return FsResult::kLocked;
        case ERROR_DISK_FULL: case ERROR_HANDLE_DISK_FULL: return FsResult::kNoSpace;
        case ERROR_WRITE_PROTECT: return FsResult::kReadOnly;
        default: return FsResult::kFailed;
    }
}

class WinSource : public ByteSource {
public:
    WinSource(HANDLE h, std::uint64_t size) : m_h(h), m_size(size) {}
    ~WinSource() override { CloseHandle(m_h); }
    std::uint64_t Size() const override { return m_size; }
    bool ReadAt(std::uint64_t offset, void* buf, std::size_t n) override {
        auto* p = static_cast<char*>(buf);
        while (n > 0) {
            OVERLAPPED ov{};
            ov.Offset = static_cast<DWORD>(offset);
            ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
            DWORD want = static_cast<DWORD>(n > (1u << 30) ? (1u << 30) : n), got = 0;
            if (!ReadFile(m_h, p, want, &got, &ov) || got == 0) return false;
            p += got;
            n -= got;
            offset += got;
        }
        return true;
    }
private:
    HANDLE m_h;
    std::uint64_t m_size;
};

class WinOutFile : public OutFile {
public:
    explicit WinOutFile(HANDLE h) : m_h(h) {}
    ~WinOutFile() override {
        if (m_h != INVALID_HANDLE_VALUE) CloseHandle(m_h);
    }
    FsResult Write(const void* data, std::size_t n) override {
        const char* p = static_cast<const char*>(data);
        while (n > 0) {
            DWORD want = static_cast<DWORD>(n > (1u << 30) ? (1u << 30) : n), done = 0;
            if (!WriteFile(m_h, p, want, &done, nullptr)) return FromError(GetLastError());
            if (done == 0) return FsResult::kFailed;
            p += done;
            n -= done;
        }
        return FsResult::kOk;
    }
    FsResult Sync() override { return FlushFileBuffers(m_h) ? FsResult::kOk : FromError(GetLastError()); }
    FsResult Finish(std::uint16_t dosDate, std::uint16_t dosTime) override {
        if (!FlushFileBuffers(m_h)) return FromError(GetLastError());
        FILETIME local, utc;
        if (DosDateTimeToFileTime(dosDate, dosTime, &local) && LocalFileTimeToFileTime(&local, &utc))
            SetFileTime(m_h, nullptr, nullptr, &utc);   // a time that cannot be set is no reason to fail
        HANDLE h = m_h;
        m_h = INVALID_HANDLE_VALUE;
        return CloseHandle(h) ? FsResult::kOk : FromError(GetLastError());
    }
private:
    HANDLE m_h;
};

class WinLock : public DirLock {
public:
    explicit WinLock(HANDLE h) : m_h(h) {}
    ~WinLock() override { CloseHandle(m_h); }   // delete-on-close removes the file
private:
    HANDLE m_h;
};

// Links are the name surrogates (junctions, symbolic links, mount points); other reparse points
// (deduplicated, cloud or compressed-image files) are the files and folders they stand for. A
// reparse point without a tag (the reserved 0, never given out) cannot be told apart: a link.
bool IsLink(DWORD attributes, DWORD tag) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (tag == 0 || IsReparseTagNameSurrogate(tag));
}

// The directory entry's own view of a name (its attributes and tag), without opening it.
bool EntryIsLink(const std::wstring& path) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileExW(path.c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr, 0);
    if (h == INVALID_HANDLE_VALUE) return false;
    FindClose(h);
    return IsLink(fd.dwFileAttributes, fd.dwReserved0);
}

bool HandleIsLink(HANDLE h, DWORD* attributes) {
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &info, sizeof info)) return true;
    *attributes = info.FileAttributes;
    return IsLink(info.FileAttributes, info.ReparseTag);
}

class WinFs : public Fs {
public:
    ~WinFs() override { Release(); }

    FsResult Confine(const NativeString& folder, NativeString* resolved) override {
        Release();
        // Without delete sharing: the folder cannot be renamed or replaced while it is used.
        HANDLE h = CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            DWORD e = GetLastError();
            return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? FsResult::kNotFound : FsResult::kFailed;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        std::wstring real(32768, L'\0');
        DWORD n = 0;
        if (!GetFileInformationByHandle(h, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (n = GetFinalPathNameByHandleW(h, &real[0], static_cast<DWORD>(real.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS)) == 0 ||
            n >= real.size()) {
            CloseHandle(h);
            return FsResult::kFailed;
        }
        real.resize(n);
        m_root = h;
        m_rootPath = Absolute(real);
        *resolved = m_rootPath;
        return FsResult::kOk;
    }
    NativeString Absolute(const NativeString& path) override {
        std::wstring p = path;
        if (p.compare(0, 4, L"\\\\?\\") != 0) {
            DWORD n = GetFullPathNameW(p.c_str(), 0, nullptr, nullptr);
            if (n > 0) {
                std::wstring full(n, L'\0');
                DWORD m = GetFullPathNameW(p.c_str(), n, &full[0], nullptr);
                if (m > 0 && m < n) {
                    full.resize(m);
                    p = full;
                }
            }
            for (wchar_t& c : p)
                if (c == L'/') c = L'\\';
            // Extended-length form: no MAX_PATH limit, no reinterpretation of names.
            if (p.compare(0, 2, L"\\\\") == 0) p = L"\\\\?\\UNC\\" + p.substr(2);
            else p = L"\\\\?\\" + p;
        }
        while (p.size() > 7 && p.back() == L'\\' && p[p.size() - 2] != L':') p.pop_back();
        return p;
    }
    NativeString Join(const NativeString& base, const std::string& rel) override {
        if (rel.empty()) return base;
        std::wstring r = Utf8ToWide(rel);
        for (wchar_t& c : r)
            if (c == L'/') c = L'\\';
        return Child(base, r);
    }
    NativeString Child(const NativeString& base, const NativeString& name) override {
        return !base.empty() && base.back() == L'\\' ? base + name : base + L"\\" + name;
    }
    std::string Display(const NativeString& path) override {
        if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return "\\\\" + WideToUtf8(path.substr(8));
        if (path.compare(0, 4, L"\\\\?\\") == 0) return WideToUtf8(path.substr(4));
        return WideToUtf8(path);
    }

    NativeString Native(const std::string& utf8Name) override { return Utf8ToWide(utf8Name); }
    bool SameName(const NativeString& a, const NativeString& b) override {
        // The ordinal upper-case comparison is the one the file system applies to names.
        return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
               CSTR_EQUAL;
    }

    std::unique_ptr<ByteSource> OpenRead(const NativeString& path, FsResult* result) override {
        FsResult ignored;
        FsResult& r = result ? *result : ignored;
        // Below the target: the file itself, never what a link names. Shared delete access: the
        // package may be moved or replaced by the update itself.
        const bool confined = Pin(path, &r);
        if (!confined && r != FsResult::kOk) return nullptr;
        // A journal stays open while its state byte is overwritten: write sharing below the target.
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_DELETE | (confined ? FILE_SHARE_WRITE : 0), nullptr,
                               OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | (confined ? FILE_FLAG_OPEN_REPARSE_POINT : 0),
                               nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            r = FromError(GetLastError());
            return nullptr;
        }
        DWORD attributes = 0;
        LARGE_INTEGER size;
        if ((confined && (HandleIsLink(h, &attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY))) ||
            GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &size)) {
            CloseHandle(h);
            r = FsResult::kLink;
            return nullptr;
        }
        r = FsResult::kOk;
        return std::make_unique<WinSource>(h, static_cast<std::uint64_t>(size.QuadPart));
    }
    std::unique_ptr<OutFile> CreateNew(const NativeString& path, FsResult* result) override {
        if (!Pin(path, result) && *result != FsResult::kOk) return nullptr;
        // CREATE_NEW fails on any name that is taken, a link included: nothing is followed.
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            *result = FromErrorNoLock(GetLastError());
            return nullptr;
        }
        *result = FsResult::kOk;
        return std::make_unique<WinOutFile>(h);
    }
    FsKind Kind(const NativeString& path) override {
        if (m_root != INVALID_HANDLE_VALUE && path == m_rootPath) return FsKind::kDir;
        FsResult r;
        if (!Pin(path, &r) && r != FsResult::kOk) return r == FsResult::kNotFound ? FsKind::kNone : FsKind::kOther;
        DWORD a = GetFileAttributesW(path.c_str());
        if (a == INVALID_FILE_ATTRIBUTES) {
            DWORD e = GetLastError();
            return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? FsKind::kNone : FsKind::kOther;
        }
        // The tag tells a link from a file that is stored in another way.
        if ((a & FILE_ATTRIBUTE_REPARSE_POINT) && EntryIsLink(path)) return FsKind::kOther;
        return (a & FILE_ATTRIBUTE_DIRECTORY) ? FsKind::kDir : FsKind::kFile;
    }
    FsResult MakeDir(const NativeString& path) override {
        FsResult r;
        if (!Pin(path, &r) && r != FsResult::kOk) return r;
        return CreateDirectoryW(path.c_str(), nullptr) ? FsResult::kOk : FromErrorNoLock(GetLastError());
    }
    FsResult Rename(const NativeString& from, const NativeString& to) override {
        // Both folders stay open (pinned) while the name moves; a link is moved as itself.
        FsResult r;
        if (!Pin(from, &r) && r != FsResult::kOk) return r;
        std::vector<std::pair<std::wstring, HANDLE>> fromChain;
        fromChain.swap(m_chain);
        const bool ok = Pin(to, &r) || r == FsResult::kOk;
        // No replace flag: an existing target is an error, never silently overwritten.
        if (ok) r = MoveFileExW(from.c_str(), to.c_str(), 0) ? FsResult::kOk : FromError(GetLastError());
        for (auto& f : fromChain) CloseHandle(f.second);
        return r;
    }
    FsResult RemoveFile(const NativeString& path) override {
        FsResult r;
        if (!Pin(path, &r) && r != FsResult::kOk) return r;
        if (DeleteFileW(path.c_str())) return FsResult::kOk;
        DWORD e = GetLastError();
        if (e == ERROR_ACCESS_DENIED) {
            // Read-only files are deleted too; running images stay denied.
            DWORD a = GetFileAttributesW(path.c_str());
            if (a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_REPARSE_POINT) && (a & FILE_ATTRIBUTE_READONLY) &&
                SetFileAttributesW(path.c_str(), a & ~FILE_ATTRIBUTE_READONLY)) {
                if (DeleteFileW(path.c_str())) return FsResult::kOk;
                e = GetLastError();
                SetFileAttributesW(path.c_str(), a);
            }
        }
        return FromError(e);
    }
    FsResult RemoveDir(const NativeString& path) override {
        if (path == m_rootPath) Release();
        FsResult r;
        std::size_t depth = 0;
        if (!Pin(path, &r, &depth) && r != FsResult::kOk) return r;
        Forget(depth);   // our own handles must not keep the folder
        return RemoveDirectoryW(path.c_str()) ? FsResult::kOk : FromError(GetLastError());
    }
    bool List(const NativeString& dir, std::vector<NativeString>* names) override {
        names->clear();
        FsResult r;
        if (!PinFolder(dir, &r)) return false;
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileW(Child(dir, L"*").c_str(), &fd);
        if (h == INVALID_HANDLE_VALUE) return false;
        do {
            std::wstring n = fd.cFileName;
            if (n != L"." && n != L"..") names->push_back(n);
        } while (FindNextFileW(h, &fd));
        FindClose(h);
        return true;
    }
    FsResult PatchByte(const NativeString& path, std::uint64_t offset, char value) override {
        FsResult r;
        const bool confined = Pin(path, &r);
        if (!confined && r != FsResult::kOk) return r;
        // A sharing violation (a scanner reading the journal) is kLocked: the caller waits it out.
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               confined ? FILE_FLAG_OPEN_REPARSE_POINT : 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return FromError(GetLastError());
        DWORD attributes = 0;
        if (confined && (HandleIsLink(h, &attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY))) {
            CloseHandle(h);
            return FsResult::kLink;
        }
        OVERLAPPED ov{};
        ov.Offset = static_cast<DWORD>(offset);
        ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD done = 0;
        r = WriteFile(h, &value, 1, &done, &ov) && done == 1 && FlushFileBuffers(h) ? FsResult::kOk
                                                                                     : FromErrorNoLock(GetLastError());
        CloseHandle(h);
        return r;
    }
    // Folder entries are journaled by the file system itself.
    FsResult SyncDir(const NativeString&) override { return FsResult::kOk; }
    std::unique_ptr<DirLock> Lock(const NativeString& path, FsResult* result) override {
        if (!Pin(path, result) && *result != FsResult::kOk) return nullptr;
        if (Kind(path) == FsKind::kOther) {
            *result = FsResult::kLink;   // left as it is: delete-on-close would remove it
            return nullptr;
        }
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            DWORD e = GetLastError();
            *result = e == ERROR_SHARING_VIOLATION ? FsResult::kLocked : FromErrorNoLock(e);
            return nullptr;
        }
        *result = FsResult::kOk;
        return std::make_unique<WinLock>(h);
    }
    void Hide(const NativeString& path) override {
        DWORD a = GetFileAttributesW(path.c_str());
        if (a != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(path.c_str(), a | FILE_ATTRIBUTE_HIDDEN);
    }
    void InheritPermissions(const NativeString& path) override {
        FsResult r;
        if (!Pin(path, &r)) return;
        HANDLE h = CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h == INVALID_HANDLE_VALUE) return;
        // Only the file that was just moved there: not a link, not a second name of another file.
        DWORD attributes = 0;
        BY_HANDLE_FILE_INFORMATION info{};
        if (!HandleIsLink(h, &attributes) && GetFileInformationByHandle(h, &info) && info.nNumberOfLinks == 1) {
            // An empty DACL that is not protected: the file keeps only what its folder hands down.
            ACL empty;
            if (InitializeAcl(&empty, sizeof empty, ACL_REVISION))
                SetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, &empty, nullptr);
        }
        CloseHandle(h);
    }
    void SleepMs(unsigned ms) override { Sleep(ms); }

private:
    // Creating something: "access denied" means no rights to write there, not a file in use.
    static FsResult FromErrorNoLock(DWORD e) {
        if (e == ERROR_ACCESS_DENIED) return FsResult::kReadOnly;
        FsResult r = FromError(e);
        return r == FsResult::kLocked ? FsResult::kFailed : r;
    }

    void Release() {
        Forget(0);
        if (m_root != INVALID_HANDLE_VALUE) CloseHandle(m_root);
        m_root = INVALID_HANDLE_VALUE;
        m_rootPath.clear();
    }

    // The names below the root, or false for a path outside it (and for the root itself).
    bool Below(const std::wstring& path, std::vector<std::wstring>* names) const {
        if (m_root == INVALID_HANDLE_VALUE || path.size() <= m_rootPath.size() + 1 ||
            path.compare(0, m_rootPath.size(), m_rootPath) != 0 || path[m_rootPath.size()] != L'\\')
            return false;
        names->clear();
        std::size_t pos = m_rootPath.size() + 1;
        while (pos <= path.size()) {
            std::size_t sep = path.find(L'\\', pos);
            if (sep == std::wstring::npos) sep = path.size();
            names->push_back(path.substr(pos, sep - pos));
            pos = sep + 1;
        }
        return true;
    }

    // Below the root: opens every folder between the root and the path's last name (reusing
    // those of the last call) without following links, checks that none is a link and keeps
    // them open without delete sharing, so that no name on the way can be swapped for a link
    // while the caller works by path. True when the path is below the root and its folders are
    // pinned; false with *result kOk for a path outside it, or with the reason it failed.
    bool Pin(const std::wstring& path, FsResult* result, std::size_t* depth = nullptr) {
        std::vector<std::wstring> names;
        *result = FsResult::kOk;
        if (!Below(path, &names)) return false;
        names.pop_back();
        if (depth) *depth = names.size();
        return Walk(names, result);
    }
    // The same for a folder itself (listing it).
    bool PinFolder(const std::wstring& dir, FsResult* result) {
        std::vector<std::wstring> names;
        *result = FsResult::kOk;
        if (dir == m_rootPath || !Below(dir, &names)) return true;
        return Walk(names, result);
    }

    bool Walk(const std::vector<std::wstring>& names, FsResult* result) {
        std::size_t keep = 0;
        while (keep < names.size() && keep < m_chain.size() && m_chain[keep].first == names[keep]) ++keep;
        Forget(keep);
        std::wstring p = m_rootPath;
        for (std::size_t i = 0; i < names.size(); ++i) {
            p = Child(p, names[i]);
            if (i < keep) continue;
            HANDLE h = CreateFileW(p.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            if (h == INVALID_HANDLE_VALUE) {
                DWORD e = GetLastError();
                *result = e == ERROR_SHARING_VIOLATION ? FsResult::kLocked : FromError(e);
                return false;
            }
            // Held without delete sharing, the name now stays with what was opened: its entry
            // is checked too (emulators that open through links still mark the entry).
            DWORD attributes = 0;
            const bool link = HandleIsLink(h, &attributes) || EntryIsLink(p);
            if (link || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                CloseHandle(h);
                *result = link ? FsResult::kLink : FsResult::kNotFound;
                return false;
            }
            m_chain.emplace_back(names[i], h);
        }
        return true;
    }

    void Forget(std::size_t keep) {
        while (m_chain.size() > keep) {
            CloseHandle(m_chain.back().second);
            m_chain.pop_back();
        }
    }

    HANDLE m_root = INVALID_HANDLE_VALUE;
    std::wstring m_rootPath;
    std::vector<std::pair<std::wstring, HANDLE>> m_chain;
};

}  // namespace

std::unique_ptr<Fs> NewRealFs() { return std::make_unique<WinFs>(); }

}  // namespace zpvx
