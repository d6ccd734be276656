// A package file as the extractor's reader takes its input. The tool's own, so that reading a
// package needs nothing of the extractor's file-system layer (whose confinement is for targets).
#pragma once

#include <filesystem>
#include <fstream>

#include "extract/zip_reader.h"

namespace zpvpack {

class FileSource : public zpvx::ByteSource {
public:
    explicit FileSource(const std::filesystem::path& path) {
        m_in.rdbuf()->pubsetbuf(nullptr, 0);   // the reader asks for whole chunks: no second copy
        m_in.open(path, std::ios::binary);
        std::error_code ec;
        m_size = m_in.is_open() ? std::filesystem::file_size(path, ec) : 0;
        m_ok = m_in.is_open() && !ec;
    }
    bool Ok() const { return m_ok; }
    std::uint64_t Size() const override { return m_size; }
    bool ReadAt(std::uint64_t offset, void* buf, std::size_t n) override {
        if (offset > m_size || n > m_size - offset) return false;
        m_in.clear();
        m_in.seekg(static_cast<std::streamoff>(offset));
        return static_cast<bool>(m_in.read(static_cast<char*>(buf), static_cast<std::streamsize>(n)));
    }

private:
    std::ifstream m_in;
    std::uint64_t m_size = 0;
    bool m_ok = false;
};

}  // namespace zpvpack
