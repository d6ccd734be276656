// Builds zip archives byte by byte for tests, including deliberately broken ones.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ztest {

struct ZipItem {
    ZipItem(std::string name = "", std::string data = "", std::uint16_t method = 8)
        : name(std::move(name)), data(std::move(data)), method(method) {}
    std::string name;           // raw name bytes
    std::string data;           // content before compression
    std::uint16_t method = 8;   // 0 stored, 8 deflated, anything else written as stored bytes
    std::uint16_t flags = 0;
    bool descriptor = false;    // sizes and CRC after the data (flag bit 3)
    bool zip64 = false;         // sizes and offset in Zip64 extra fields
    std::string extra;          // extra field bytes, local and central
    // Lies, written consistently into the local header, descriptor and central record.
    std::optional<std::uint32_t> crc;
    std::optional<std::uint64_t> size, compressedSize;
    std::optional<std::uint64_t> offset;   // central record only
    std::optional<std::string> localName;  // local header only
};

std::string Deflate(const std::string& data);
std::uint32_t Crc(const std::string& data);
// Extra field record: tag, length, payload.
std::string ExtraRecord(std::uint16_t tag, const std::string& payload);
std::string Le16(std::uint16_t v);
std::string Le32(std::uint32_t v);
std::string Le64(std::uint64_t v);

class ZipWriter {
public:
    // Appends the local record and remembers the central one; returns the local header offset.
    std::uint64_t Add(const ZipItem& item);
    // The local record alone (for nesting one inside another entry's data).
    static std::string LocalRecord(const ZipItem& item);
    // A central record for an item whose local record is already somewhere in the file.
    void AddCentral(const ZipItem& item, std::uint64_t offset);
    void AddRaw(const std::string& bytes) { m_out += bytes; }
    std::uint64_t Size() const { return m_out.size(); }

    struct End {
        bool zip64 = false;
        std::string comment;
        std::optional<std::uint64_t> count;
        std::optional<std::uint64_t> cdOffset;
    };
    std::string Finish(const End& end);
    std::string Finish() { return Finish(End()); }

private:
    struct Central {
        ZipItem item;
        std::uint32_t crc;
        std::uint64_t size, csize, offset;
    };
    std::string m_out;
    std::vector<Central> m_central;
};

}  // namespace ztest
