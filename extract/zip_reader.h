// Reads zip archives: the central directory (with Zip64 records), entry names, and the data of
// stored and deflated entries, verified against the declared sizes and CRC-32. Everything is
// checked before the first byte of entry data is handed out; entry data is streamed in fixed
// chunks, so memory stays bounded whatever the archive declares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "extract/path_tree.h"

namespace zpvx {

// Random-access input.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t Size() const = 0;
    // True when exactly n bytes were read at offset.
    virtual bool ReadAt(std::uint64_t offset, void* buf, std::size_t n) = 0;
};

class MemorySource : public ByteSource {
public:
    MemorySource(const void* data, std::size_t size) : m_data(static_cast<const unsigned char*>(data)), m_size(size) {}
    std::uint64_t Size() const override { return m_size; }
    bool ReadAt(std::uint64_t offset, void* buf, std::size_t n) override;
private:
    const unsigned char* m_data;
    std::size_t m_size;
};

// The CRC-32 of zip (and of the commit journal), continued from crc (0 to start).
std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t n);

// Receives an entry's data in order.
class EntrySink {
public:
    virtual ~EntrySink() = default;
    virtual bool Write(const unsigned char* data, std::size_t n) = 0;
};

struct ZipLimits {
    std::uint64_t maxEntries = 200000;
    std::uint64_t maxDirectoryBytes = 64ull << 20;
    std::uint64_t maxEntrySize = 8ull << 30;
    std::uint64_t maxTotalSize = 32ull << 30;
    std::uint64_t maxNodes = 400000;   // files and folders together, implied folders included
};

struct ZipEntry {
    std::string rel;             // safe relative path, '/'-separated UTF-8
    bool isDir = false;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;    // 0 stored, 8 deflated
    std::uint16_t dosTime = 0;
    std::uint16_t dosDate = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint64_t headerOffset = 0;
    std::uint64_t dataOffset = 0;   // first byte of the entry's data, from its local header
};

class ZipReader {
public:
    // Parses and checks the whole archive structure. Returns a ZPV_EXTRACT_* status.
    int Open(ByteSource* src, const ZipLimits& limits = ZipLimits());
    const std::vector<ZipEntry>& Entries() const { return m_entries; }
    // The entries' paths as a tree (valid after a successful Open).
    const PathTree& Tree() const { return m_tree; }
    // Streams one entry's data; fails on corrupt data, size or CRC mismatch, or a sink failure
    // (ZPV_EXTRACT_WRITE_FAILED). The sink may have received data before a failure is found.
    int ReadEntry(const ZipEntry& entry, EntrySink* sink);
    // What went wrong, for diagnostics.
    const std::string& Error() const { return m_error; }

    static constexpr std::size_t kChunk = 256 * 1024;

private:
    int Fail(int status, const std::string& why);
    int FindDirectory(std::uint64_t* cdOffset, std::uint64_t* cdSize, std::uint64_t* count);
    int ParseDirectory(std::uint64_t cdOffset, std::uint64_t cdSize, std::uint64_t count);
    int CheckNames();
    int CheckLocalHeaders(std::uint64_t cdOffset);
    int CheckDescriptor(const ZipEntry& e);

    ByteSource* m_src = nullptr;
    ZipLimits m_limits;
    std::vector<ZipEntry> m_entries;
    PathTree m_tree;
    std::vector<std::string> m_rawNames;
    std::uint64_t m_cdOffset = 0;
    std::string m_error;
    std::vector<unsigned char> m_inBuf, m_outBuf;
};

}  // namespace zpvx
