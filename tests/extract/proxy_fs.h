// A file-system layer over the real one for tests: passes everything through, calls OnChange()
// before every operation that changes something on disk, and lets a test override single calls.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "extract/fs.h"

namespace ztest {

class ProxyFs : public zpvx::Fs {
public:
    using NativeString = zpvx::NativeString;
    using FsResult = zpvx::FsResult;

    virtual void OnChange() {}

    FsResult Confine(const NativeString& p, NativeString* r) override { return m_real.Confine(p, r); }
    NativeString Absolute(const NativeString& p) override { return m_real.Absolute(p); }
    NativeString Join(const NativeString& b, const std::string& r) override { return m_real.Join(b, r); }
    NativeString Child(const NativeString& b, const NativeString& n) override { return m_real.Child(b, n); }
    std::string Display(const NativeString& p) override { return m_real.Display(p); }
    NativeString Native(const std::string& n) override { return m_real.Native(n); }
    bool SameName(const NativeString& a, const NativeString& b) override { return m_real.SameName(a, b); }
    std::unique_ptr<zpvx::ByteSource> OpenRead(const NativeString& p, FsResult* r) override {
        return m_real.OpenRead(p, r);
    }
    std::unique_ptr<zpvx::OutFile> CreateNew(const NativeString& p, FsResult* r) override {
        OnChange();
        std::unique_ptr<zpvx::OutFile> f = m_real.CreateNew(p, r);
        return f ? std::make_unique<File>(this, std::move(f)) : nullptr;
    }
    zpvx::FsKind Kind(const NativeString& p) override { return m_real.Kind(p); }
    FsResult MakeDir(const NativeString& p) override { return OnChange(), m_real.MakeDir(p); }
    FsResult Rename(const NativeString& f, const NativeString& t) override { return OnChange(), m_real.Rename(f, t); }
    FsResult RemoveFile(const NativeString& p) override { return OnChange(), m_real.RemoveFile(p); }
    FsResult RemoveDir(const NativeString& p) override { return OnChange(), m_real.RemoveDir(p); }
    bool List(const NativeString& d, std::vector<NativeString>* n) override { return m_real.List(d, n); }
    FsResult PatchByte(const NativeString& p, std::uint64_t at, char v) override {
        return OnChange(), m_real.PatchByte(p, at, v);
    }
    FsResult SyncDir(const NativeString& d) override { return OnChange(), m_real.SyncDir(d); }
    std::unique_ptr<zpvx::DirLock> Lock(const NativeString& p, FsResult* r) override { return m_real.Lock(p, r); }
    void InheritPermissions(const NativeString& p) override { m_real.InheritPermissions(p); }
    void SleepMs(unsigned ms) override { m_slept += ms; }

    // Data written through files of this layer; a test may fail it.
    virtual FsResult WriteData(zpvx::OutFile& f, const void* d, std::size_t n) { return f.Write(d, n); }

    unsigned m_slept = 0;

private:
    class File : public zpvx::OutFile {
    public:
        File(ProxyFs* fs, std::unique_ptr<zpvx::OutFile> f) : m_fs(fs), m_f(std::move(f)) {}
        FsResult Write(const void* d, std::size_t n) override { return m_fs->OnChange(), m_fs->WriteData(*m_f, d, n); }
        FsResult Sync() override { return m_fs->OnChange(), m_f->Sync(); }
        FsResult Finish(std::uint16_t date, std::uint16_t time) override {
            return m_fs->OnChange(), m_f->Finish(date, time);
        }
    private:
        ProxyFs* m_fs;
        std::unique_ptr<zpvx::OutFile> m_f;
    };

    std::unique_ptr<zpvx::Fs> m_own = zpvx::NewRealFs();
    zpvx::Fs& m_real = *m_own;
};

}  // namespace ztest
