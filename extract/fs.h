// The file-system operations the staged extraction needs, behind an interface so that tests
// can inject failures (locked files, failing renames) into the real file system.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "extract/zip_reader.h"

namespace zpvx {

#ifdef _WIN32
using NativeString = std::wstring;   // absolute paths carry the \\?\ prefix
#else
using NativeString = std::string;
#endif

// kLocked: in use by another program (worth retrying); kNoSpace: the volume is full; kReadOnly:
// the volume or folder cannot be written (write-protected or no rights).
enum class FsResult { kOk, kNotFound, kExists, kLocked, kFailed, kNoSpace, kReadOnly };
enum class FsKind { kNone, kFile, kDir, kOther };

class OutFile {
public:
    virtual ~OutFile() = default;
    virtual FsResult Write(const void* data, std::size_t n) = 0;
    // Forces the data written so far to the disk.
    virtual FsResult Sync() = 0;
    // Sets the modification time (MS-DOS local date and time) and closes. On Windows the data is
    // flushed to the disk first: files are moved into place only after this, and a file renamed
    // into place must never be found empty after a power cut.
    virtual FsResult Finish(std::uint16_t dosDate, std::uint16_t dosTime) = 0;
};

class DirLock {
public:
    virtual ~DirLock() = default;   // releases and removes the lock file
};

class Fs {
public:
    virtual ~Fs() = default;
    // Absolute form of a caller's path, without a trailing separator (except a root).
    virtual NativeString Absolute(const NativeString& path) = 0;
    // base joined with a '/'-separated UTF-8 relative path.
    virtual NativeString Join(const NativeString& base, const std::string& relUtf8) = 0;
    // base joined with one name as listed by List().
    virtual NativeString Child(const NativeString& base, const NativeString& name) = 0;
    virtual std::string Display(const NativeString& path) = 0;   // UTF-8, for messages and names
    virtual NativeString Native(const std::string& utf8Name) = 0;    // one name in native form
    // Two names of one folder that the file system takes for the same (case differences only).
    virtual bool SameName(const NativeString& a, const NativeString& b) = 0;

    virtual std::unique_ptr<ByteSource> OpenRead(const NativeString& path) = 0;
    // Creates a new file; kExists when the name is taken.
    virtual std::unique_ptr<OutFile> CreateNew(const NativeString& path, FsResult* result) = 0;
    virtual FsKind Kind(const NativeString& path) = 0;
    virtual FsResult MakeDir(const NativeString& path) = 0;
    // Renames without replacing; kLocked when the file is in use (worth retrying).
    virtual FsResult Rename(const NativeString& from, const NativeString& to) = 0;
    virtual FsResult RemoveFile(const NativeString& path) = 0;
    virtual FsResult RemoveDir(const NativeString& path) = 0;   // empty folders only
    // The names as the folder lists them (never short-name aliases).
    virtual bool List(const NativeString& dir, std::vector<NativeString>* names) = 0;
    // Overwrites one byte of an existing file in place and forces it to the disk.
    virtual FsResult PatchByte(const NativeString& path, std::uint64_t offset, char value) = 0;
    // Forces a folder's entries (created, renamed names) to the disk where the platform needs it.
    virtual FsResult SyncDir(const NativeString& dir) = 0;
    // Exclusive lock held through a lock file; kLocked when another holder has it.
    virtual std::unique_ptr<DirLock> Lock(const NativeString& path, FsResult* result) = 0;
    virtual void Hide(const NativeString& /*path*/) {}
    virtual void SleepMs(unsigned ms) = 0;
};

Fs& RealFs();

}  // namespace zpvx
