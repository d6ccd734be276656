#include "zip_writer.h"

#include <zlib.h>

#include <cstring>
#include <stdexcept>

namespace ztest {

std::string Le16(std::uint16_t v) { return std::string{char(v & 0xFF), char(v >> 8)}; }
std::string Le32(std::uint32_t v) { return Le16(v & 0xFFFF) + Le16(v >> 16); }
std::string Le64(std::uint64_t v) { return Le32(static_cast<std::uint32_t>(v)) + Le32(static_cast<std::uint32_t>(v >> 32)); }

std::string ExtraRecord(std::uint16_t tag, const std::string& payload) {
    return Le16(tag) + Le16(static_cast<std::uint16_t>(payload.size())) + payload;
}

std::uint32_t Crc(const std::string& data) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string Deflate(const std::string& data) {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (deflateInit2(&zs, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflate");
    std::string out(deflateBound(&zs, static_cast<uLong>(data.size())), '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(&out[0]);
    zs.avail_out = static_cast<uInt>(out.size());
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

namespace {
struct Prepared {
    std::string payload;
    std::uint32_t crc;
    std::uint64_t size, csize;
};
Prepared Prepare(const ZipItem& item) {
    Prepared p;
    p.payload = item.method == 8 ? Deflate(item.data) : item.data;
    p.crc = item.crc ? *item.crc : Crc(item.data);
    p.size = item.size ? *item.size : item.data.size();
    p.csize = item.compressedSize ? *item.compressedSize : p.payload.size();
    return p;
}
std::uint16_t Flags(const ZipItem& item) {
    return static_cast<std::uint16_t>(item.flags | (item.descriptor ? 8 : 0));
}
}  // namespace

std::string ZipWriter::LocalRecord(const ZipItem& item) {
    Prepared p = Prepare(item);
    const std::string& name = item.localName ? *item.localName : item.name;
    std::string extra = item.extra;
    std::uint32_t lsize = static_cast<std::uint32_t>(p.size), lcsize = static_cast<std::uint32_t>(p.csize);
    if (item.zip64) {
        extra = ExtraRecord(1, Le64(p.size) + Le64(p.csize)) + extra;
        lsize = lcsize = 0xFFFFFFFF;
    }
    std::string h = Le32(0x04034b50) + Le16(item.zip64 ? 45 : 20) + Le16(Flags(item)) + Le16(item.method) +
                    Le16(0x6000) + Le16(0x5A21);
    if (item.descriptor) h += Le32(0) + Le32(0) + Le32(0);
    else h += Le32(p.crc) + Le32(lcsize) + Le32(lsize);
    h += Le16(static_cast<std::uint16_t>(name.size())) + Le16(static_cast<std::uint16_t>(extra.size())) + name + extra;
    h += p.payload;
    if (item.descriptor) {
        h += Le32(0x08074b50) + Le32(p.crc);
        h += item.zip64 ? Le64(p.csize) + Le64(p.size) : Le32(lcsize) + Le32(lsize);
    }
    return h;
}

std::uint64_t ZipWriter::Add(const ZipItem& item) {
    std::uint64_t offset = m_out.size();
    m_out += LocalRecord(item);
    AddCentral(item, offset);
    return offset;
}

void ZipWriter::AddCentral(const ZipItem& item, std::uint64_t offset) {
    Prepared p = Prepare(item);
    m_central.push_back({item, p.crc, p.size, p.csize, item.offset ? *item.offset : offset});
}

std::string ZipWriter::Finish(const End& end) {
    const std::uint64_t cdStart = m_out.size();
    for (const Central& c : m_central) {
        std::string extra = c.item.extra;
        std::uint32_t size = static_cast<std::uint32_t>(c.size), csize = static_cast<std::uint32_t>(c.csize),
                      off = static_cast<std::uint32_t>(c.offset);
        if (c.item.zip64) {
            extra = ExtraRecord(1, Le64(c.size) + Le64(c.csize) + Le64(c.offset)) + extra;
            size = csize = off = 0xFFFFFFFF;
        }
        m_out += Le32(0x02014b50) + Le16(0x031E) + Le16(c.item.zip64 ? 45 : 20) + Le16(Flags(c.item)) +
                Le16(c.item.method) + Le16(0x6000) + Le16(0x5A21) + Le32(c.crc) + Le32(csize) + Le32(size) +
                Le16(static_cast<std::uint16_t>(c.item.name.size())) + Le16(static_cast<std::uint16_t>(extra.size())) +
                Le16(0) + Le16(0) + Le16(0) + Le32(0) + Le32(off) + c.item.name + extra;
    }
    const std::uint64_t cdSize = m_out.size() - cdStart;
    const std::uint64_t count = end.count ? *end.count : m_central.size();
    const std::uint64_t cdOffset = end.cdOffset ? *end.cdOffset : cdStart;
    if (end.zip64) {
        const std::uint64_t rec = m_out.size();
        m_out += Le32(0x06064b50) + Le64(44) + Le16(45) + Le16(45) + Le32(0) + Le32(0) + Le64(count) + Le64(count) +
                Le64(cdSize) + Le64(cdOffset);
        m_out += Le32(0x07064b50) + Le32(0) + Le64(rec) + Le32(1);
        m_out += Le32(0x06054b50) + Le16(0) + Le16(0) + Le16(0xFFFF) + Le16(0xFFFF) + Le32(0xFFFFFFFF) +
                Le32(0xFFFFFFFF);
    } else {
        m_out += Le32(0x06054b50) + Le16(0) + Le16(0) + Le16(static_cast<std::uint16_t>(count)) +
                Le16(static_cast<std::uint16_t>(count)) + Le32(static_cast<std::uint32_t>(cdSize)) +
                Le32(static_cast<std::uint32_t>(cdOffset));
    }
    m_out += Le16(static_cast<std::uint16_t>(end.comment.size())) + end.comment;
    return m_out;
}

}  // namespace ztest
