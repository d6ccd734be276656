// Reads zip archives: the central directory (with Zip64 records), entry names, and the data of
// stored and deflated entries, verified against the declared sizes and CRC-32. Everything is
// checked before the first byte of entry data is handed out; entry data is streamed in fixed
// chunks, so memory stays bounded whatever the archive declares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zpvx {

// Random-access input.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t size() const = 0;
    // True when exactly n bytes were read at offset.
    virtual bool readAt(std::uint64_t offset, void* buf, std::size_t n) = 0;
};

class MemorySource : public ByteSource {
public:
    MemorySource(const void* data, std::size_t size) : data_(static_cast<const unsigned char*>(data)), size_(size) {}
    std::uint64_t size() const override { return size_; }
    bool readAt(std::uint64_t offset, void* buf, std::size_t n) override;
private:
    const unsigned char* data_;
    std::size_t size_;
};

// Receives an entry's data in order.
class EntrySink {
public:
    virtual ~EntrySink() = default;
    virtual bool write(const unsigned char* data, std::size_t n) = 0;
};

struct ZipLimits {
    std::uint64_t maxEntries = 200000;
    std::uint64_t maxDirectoryBytes = 64ull << 20;
    std::uint64_t maxEntrySize = 8ull << 30;
    std::uint64_t maxTotalSize = 32ull << 30;
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
    int open(ByteSource* src, const ZipLimits& limits = ZipLimits());
    const std::vector<ZipEntry>& entries() const { return entries_; }
    // Streams one entry's data; fails on corrupt data, size or CRC mismatch, or a sink failure
    // (ZPV_EXTRACT_WRITE_FAILED). The sink may have received data before a failure is found.
    int readEntry(const ZipEntry& entry, EntrySink* sink);
    // What went wrong, for diagnostics.
    const std::string& error() const { return error_; }

    static constexpr std::size_t kChunk = 256 * 1024;

private:
    int fail(int status, const std::string& why);
    int findDirectory(std::uint64_t* cdOffset, std::uint64_t* cdSize, std::uint64_t* count);
    int parseDirectory(std::uint64_t cdOffset, std::uint64_t cdSize, std::uint64_t count);
    int checkNames();
    int checkLocalHeaders(std::uint64_t cdOffset);
    int checkDescriptor(const ZipEntry& e);

    ByteSource* src_ = nullptr;
    ZipLimits limits_;
    std::vector<ZipEntry> entries_;
    std::vector<std::string> rawNames_;
    std::uint64_t cdOffset_ = 0;
    std::string error_;
    std::vector<unsigned char> inBuf_, outBuf_;
};

}  // namespace zpvx
