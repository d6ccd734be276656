#include "extract/fs.h"

#include <windows.h>

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

class WinFs : public Fs {
public:
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

    std::unique_ptr<ByteSource> OpenRead(const NativeString& path) override {
        // Shared delete access: the package may be moved or replaced by the update itself.
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (h == INVALID_HANDLE_VALUE) return nullptr;
        LARGE_INTEGER size;
        if (!GetFileSizeEx(h, &size)) {
            CloseHandle(h);
            return nullptr;
        }
        return std::make_unique<WinSource>(h, static_cast<std::uint64_t>(size.QuadPart));
    }
    std::unique_ptr<OutFile> CreateNew(const NativeString& path, FsResult* result) override {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            *result = FromErrorNoLock(GetLastError());
            return nullptr;
        }
        *result = FsResult::kOk;
        return std::make_unique<WinOutFile>(h);
    }
    FsKind Kind(const NativeString& path) override {
        DWORD a = GetFileAttributesW(path.c_str());
        if (a == INVALID_FILE_ATTRIBUTES) {
            DWORD e = GetLastError();
            return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? FsKind::kNone : FsKind::kOther;
        }
        if (a & FILE_ATTRIBUTE_REPARSE_POINT) return FsKind::kOther;
        return (a & FILE_ATTRIBUTE_DIRECTORY) ? FsKind::kDir : FsKind::kFile;
    }
    FsResult MakeDir(const NativeString& path) override {
        return CreateDirectoryW(path.c_str(), nullptr) ? FsResult::kOk : FromErrorNoLock(GetLastError());
    }
    FsResult Rename(const NativeString& from, const NativeString& to) override {
        // No replace flag: an existing target is an error, never silently overwritten.
        if (MoveFileExW(from.c_str(), to.c_str(), 0)) return FsResult::kOk;
        return FromError(GetLastError());
    }
    FsResult RemoveFile(const NativeString& path) override {
        if (DeleteFileW(path.c_str())) return FsResult::kOk;
        DWORD e = GetLastError();
        if (e == ERROR_ACCESS_DENIED) {
            // Read-only files are deleted too; running images stay denied.
            DWORD a = GetFileAttributesW(path.c_str());
            if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) &&
                SetFileAttributesW(path.c_str(), a & ~FILE_ATTRIBUTE_READONLY)) {
                if (DeleteFileW(path.c_str())) return FsResult::kOk;
                e = GetLastError();
                SetFileAttributesW(path.c_str(), a);
            }
        }
        return FromError(e);
    }
    FsResult RemoveDir(const NativeString& path) override {
        return RemoveDirectoryW(path.c_str()) ? FsResult::kOk : FromError(GetLastError());
    }
    bool List(const NativeString& dir, std::vector<NativeString>* names) override {
        names->clear();
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
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return FromErrorNoLock(GetLastError());
        OVERLAPPED ov{};
        ov.Offset = static_cast<DWORD>(offset);
        ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD done = 0;
        FsResult r = WriteFile(h, &value, 1, &done, &ov) && done == 1 && FlushFileBuffers(h)
                         ? FsResult::kOk : FromErrorNoLock(GetLastError());
        CloseHandle(h);
        return r;
    }
    // Folder entries are journaled by the file system itself.
    FsResult SyncDir(const NativeString&) override { return FsResult::kOk; }
    std::unique_ptr<DirLock> Lock(const NativeString& path, FsResult* result) override {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
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
    void SleepMs(unsigned ms) override { Sleep(ms); }

private:
    // Creating something: "access denied" means no rights to write there, not a file in use.
    static FsResult FromErrorNoLock(DWORD e) {
        if (e == ERROR_ACCESS_DENIED) return FsResult::kReadOnly;
        FsResult r = FromError(e);
        return r == FsResult::kLocked ? FsResult::kFailed : r;
    }
};

}  // namespace

Fs& RealFs() {
    static WinFs fs;
    return fs;
}

}  // namespace zpvx
