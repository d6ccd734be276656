// The file-system operations the staged extraction needs, behind an interface so that tests
// can inject failures (locked files, failing renames) into the real file system.
//
// Confinement: once Confine() has resolved the target folder, every operation on a path below
// it reaches that path through folders opened one by one without following links, each checked
// when it is used (not by a name looked at earlier). A link, junction or mount point met on the
// way (or a special file where a file is opened) fails the operation with kLink, so nothing
// planted inside the target can redirect a create, move, delete or read to another place.
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
// the volume or folder cannot be written (write-protected or no rights); kLink: a link or a
// special file stands on the path where a folder or a regular file of ours belongs.
enum class FsResult { kOk, kNotFound, kExists, kLocked, kFailed, kNoSpace, kReadOnly, kLink };
// kOther: a link (junction, symbolic link, mount point), a special file, or a name reached only
// through a link. Other reparse points (deduplicated or cloud files) are the files they are.
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
    // Opens the folder (following links: the caller chose it), resolves its real path into
    // *resolved and confines every later operation on paths below *resolved (see above). The
    // folder stays open, so it cannot be renamed or replaced while it is used.
    virtual FsResult Confine(const NativeString& folder, NativeString* resolved) = 0;
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

    // Regular files only, opened without blocking (a planted FIFO or device is refused).
    virtual std::unique_ptr<ByteSource> OpenRead(const NativeString& path, FsResult* result = nullptr) = 0;
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
    // Gives a file moved into place the permissions its folder hands to a new file (a rename
    // keeps those of the staging folder). Best effort: a volume without permissions has none.
    virtual void InheritPermissions(const NativeString& /*path*/) {}
    virtual void SleepMs(unsigned ms) = 0;
};

// A new instance: confinement is state of one extraction.
std::unique_ptr<Fs> NewRealFs();

}  // namespace zpvx
