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

enum class FsResult { kOk, kNotFound, kExists, kLocked, kFailed };
enum class FsKind { kNone, kFile, kDir, kOther };

class OutFile {
public:
    virtual ~OutFile() = default;
    virtual bool write(const void* data, std::size_t n) = 0;
    // Sets the modification time (MS-DOS local date and time) and closes; false on any failure.
    virtual bool finish(std::uint16_t dosDate, std::uint16_t dosTime) = 0;
};

class DirLock {
public:
    virtual ~DirLock() = default;   // releases and removes the lock file
};

class Fs {
public:
    virtual ~Fs() = default;
    // Absolute form of a caller's path, without a trailing separator (except a root).
    virtual NativeString absolute(const NativeString& path) = 0;
    // base joined with a '/'-separated UTF-8 relative path.
    virtual NativeString join(const NativeString& base, const std::string& relUtf8) = 0;
    // base joined with one name as listed by list().
    virtual NativeString child(const NativeString& base, const NativeString& name) = 0;
    virtual std::string display(const NativeString& path) = 0;   // UTF-8, for messages

    virtual std::unique_ptr<ByteSource> openRead(const NativeString& path) = 0;
    // Creates a new file; kExists when the name is taken.
    virtual std::unique_ptr<OutFile> createNew(const NativeString& path, FsResult* result) = 0;
    virtual FsKind kind(const NativeString& path) = 0;
    virtual FsResult makeDir(const NativeString& path) = 0;
    // Renames without replacing; kLocked when the file is in use (worth retrying).
    virtual FsResult rename(const NativeString& from, const NativeString& to) = 0;
    virtual FsResult removeFile(const NativeString& path) = 0;
    virtual FsResult removeDir(const NativeString& path) = 0;   // empty folders only
    virtual bool list(const NativeString& dir, std::vector<NativeString>* names) = 0;
    // Exclusive lock held through a lock file; kLocked when another holder has it.
    virtual std::unique_ptr<DirLock> lock(const NativeString& path, FsResult* result) = 0;
    virtual void hide(const NativeString& /*path*/) {}
    virtual void sleepMs(unsigned ms) = 0;
};

Fs& RealFs();

}  // namespace zpvx
