#include "extract/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "extract/extract_status.h"
#include "extract/legacy_name.h"
#include "extract/zip_path.h"

namespace zpvx {

namespace {

constexpr std::uint32_t kSigLocal = 0x04034b50;
constexpr std::uint32_t kSigCentral = 0x02014b50;
constexpr std::uint32_t kSigEnd = 0x06054b50;
constexpr std::uint32_t kSigEnd64 = 0x06064b50;
constexpr std::uint32_t kSigLocator64 = 0x07064b50;
constexpr std::uint32_t kSigDescriptor = 0x08074b50;

constexpr std::size_t kEndSize = 22;
constexpr std::size_t kLocatorSize = 20;
constexpr std::size_t kEnd64Size = 56;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kLocalSize = 30;

constexpr std::uint16_t kFlagEncrypted = 1u << 0;
constexpr std::uint16_t kFlagDescriptor = 1u << 3;
constexpr std::uint16_t kFlagStrongEncryption = 1u << 6;
constexpr std::uint16_t kFlagUtf8 = 1u << 11;

// Deflate cannot expand more than 1032 times (two one-bit codes per 258-byte match).
constexpr std::uint64_t kMaxDeflateRatio = 1100;

std::uint16_t Get16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Get32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint64_t Get64(const unsigned char* p) { return Get32(p) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32); }


struct Extra {
    const unsigned char* data;
    std::size_t size;
};

// Finds a tagged record in an extra field; malformed tails are ignored as archivers do.
bool FindExtra(Extra extra, std::uint16_t tag, Extra* out) {
    std::size_t pos = 0;
    while (extra.size - pos >= 4) {
        std::uint16_t t = Get16(extra.data + pos);
        std::uint16_t len = Get16(extra.data + pos + 2);
        if (len > extra.size - pos - 4) return false;
        if (t == tag) {
            *out = Extra{extra.data + pos + 4, len};
            return true;
        }
        pos += 4 + len;
    }
    return false;
}

// Zip64 values replace exactly those fields that hold the escape value, in this order. Null on
// success, else what is wrong.
const char* ApplyZip64(Extra extra, ZipEntry& e, std::uint64_t& diskStart) {
    if (e.size != 0xFFFFFFFF && e.compressedSize != 0xFFFFFFFF && e.headerOffset != 0xFFFFFFFF &&
        diskStart != 0xFFFF)
        return nullptr;
    Extra z;
    if (!FindExtra(extra, 0x0001, &z)) return "missing Zip64 extra field";
    std::size_t zp = 0;
    auto take64 = [&](std::uint64_t* v) {
        if (z.size - zp < 8) return false;
        *v = Get64(z.data + zp);
        zp += 8;
        return true;
    };
    if ((e.size == 0xFFFFFFFF && !take64(&e.size)) ||
        (e.compressedSize == 0xFFFFFFFF && !take64(&e.compressedSize)) ||
        (e.headerOffset == 0xFFFFFFFF && !take64(&e.headerOffset)))
        return "short Zip64 extra field";
    if (diskStart == 0xFFFF) {
        if (z.size - zp < 4) return "short Zip64 extra field";
        diskStart = Get32(z.data + zp);
    }
    return nullptr;
}

// Name: UTF-8 when flagged; else the Unicode path field when it belongs to this very name; else
// the legacy code page.
bool DecodeEntryName(std::uint16_t flags, const std::string& raw, Extra extra, std::string* name) {
    Extra up;
    if (flags & kFlagUtf8) {
        *name = raw;
        return true;
    }
    if (FindExtra(extra, 0x7075, &up) && up.size >= 5 && up.data[0] == 1 &&
        Get32(up.data + 1) == Crc32(0, reinterpret_cast<const unsigned char*>(raw.data()), raw.size())) {
        name->assign(reinterpret_cast<const char*>(up.data + 5), up.size - 5);
        return true;
    }
    return LegacyNameToUtf8(raw, name);
}

}  // namespace

bool MemorySource::ReadAt(std::uint64_t offset, void* buf, std::size_t n) {
    if (offset > m_size || n > m_size - offset) return false;
    if (n) std::memcpy(buf, m_data + offset, n);
    return true;
}

int ZipReader::Fail(int status, const std::string& why) {
    m_error = why;
    return status;
}

int ZipReader::Open(ByteSource* src, const ZipLimits& limits) {
    m_src = src;
    m_limits = limits;
    m_entries.clear();
    m_rawNames.clear();
    m_error.clear();
    std::uint64_t cdOffset = 0, cdSize = 0, count = 0;
    int st = FindDirectory(&cdOffset, &cdSize, &count);
    if (st) return st;
    m_cdOffset = cdOffset;
    if ((st = ParseDirectory(cdOffset, cdSize, count))) return st;
    if ((st = CheckNames())) return st;
    st = CheckLocalHeaders(cdOffset);
    std::vector<std::string>().swap(m_rawNames);   // needed only for the local header check
    return st;
}

int ZipReader::FindDirectory(std::uint64_t* cdOffset, std::uint64_t* cdSize, std::uint64_t* count) {
    const std::uint64_t fileSize = m_src->Size();
    if (fileSize < kEndSize) return Fail(ZPV_EXTRACT_NOT_AN_ARCHIVE, "file too short for an archive");
    const std::size_t tailSize = static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, kEndSize + 0xFFFF));
    std::vector<unsigned char> tail(tailSize);
    if (!m_src->ReadAt(fileSize - tailSize, tail.data(), tailSize))
        return Fail(ZPV_EXTRACT_ARCHIVE_UNREADABLE, "cannot read the end of the archive");

    // The end record's comment must reach exactly to the end of the file: that tells a real
    // record from the signature bytes inside a comment.
    std::size_t pos = tailSize - 4 + 1;
    bool found = false, truncated = false;
    while (pos-- > 0) {
        if (Get32(&tail[pos]) != kSigEnd) continue;
        if (tailSize - pos < kEndSize) {
            truncated = true;   // a record cut off by the end of the file
            continue;
        }
        std::size_t end = pos + kEndSize + Get16(&tail[pos + 20]);
        if (end == tailSize) { found = true; break; }
        if (end > tailSize) truncated = true;
    }
    if (!found) {
        return truncated ? Fail(ZPV_EXTRACT_TRUNCATED, "archive comment runs past the end of the file")
                         : Fail(ZPV_EXTRACT_NOT_AN_ARCHIVE, "no end-of-directory record");
    }
    const unsigned char* e = &tail[pos];
    const std::uint64_t endPos = fileSize - tailSize + pos;
    std::uint64_t disk = Get16(e + 4), cdDisk = Get16(e + 6);
    std::uint64_t onDisk = Get16(e + 8), total = Get16(e + 10);
    std::uint64_t size = Get32(e + 12), offset = Get32(e + 16);
    std::uint64_t directoryEnd = endPos;

    bool locator = false;
    unsigned char loc[kLocatorSize];
    if (endPos >= kLocatorSize && m_src->ReadAt(endPos - kLocatorSize, loc, kLocatorSize) &&
        Get32(loc) == kSigLocator64)
        locator = true;
    if (locator) {
        if (Get32(loc + 4) != 0 || Get32(loc + 16) > 1)
            return Fail(ZPV_EXTRACT_UNSUPPORTED, "archive split over several disks");
        std::uint64_t rec = Get64(loc + 8);
        unsigned char z[kEnd64Size];
        if (rec > endPos - kLocatorSize || endPos - kLocatorSize - rec < kEnd64Size)
            return Fail(ZPV_EXTRACT_NOT_AN_ARCHIVE, "bad Zip64 end record position");
        if (!m_src->ReadAt(rec, z, kEnd64Size) || Get32(z) != kSigEnd64)
            return Fail(ZPV_EXTRACT_NOT_AN_ARCHIVE, "missing Zip64 end record");
        // The record may carry an extensible data sector, but must end at the locator.
        std::uint64_t recSize = Get64(z + 4);
        if (recSize < kEnd64Size - 12 || recSize + 12 != endPos - kLocatorSize - rec)
            return Fail(ZPV_EXTRACT_NOT_AN_ARCHIVE, "bad Zip64 end record size");
        disk = Get32(z + 16);
        cdDisk = Get32(z + 20);
        onDisk = Get64(z + 24);
        total = Get64(z + 32);
        size = Get64(z + 40);
        offset = Get64(z + 48);
        directoryEnd = rec;
    } else if (total == 0xFFFF || size == 0xFFFFFFFF || offset == 0xFFFFFFFF) {
        return Fail(ZPV_EXTRACT_NOT_AN_ARCHIVE, "Zip64 values without a Zip64 end record");
    }
    if (disk != 0 || cdDisk != 0 || onDisk != total)
        return Fail(ZPV_EXTRACT_UNSUPPORTED, "archive split over several disks");
    if (total > m_limits.maxEntries) return Fail(ZPV_EXTRACT_TOO_MANY_ENTRIES, "too many entries");
    if (size > m_limits.maxDirectoryBytes) return Fail(ZPV_EXTRACT_TOO_MANY_ENTRIES, "central directory too large");
    if (offset > directoryEnd || size > directoryEnd - offset)
        return Fail(ZPV_EXTRACT_TRUNCATED, "central directory runs past its end record");
    if (offset + size != directoryEnd)
        return Fail(ZPV_EXTRACT_NOT_AN_ARCHIVE, "data between the central directory and its end record");
    if (total > size / kCentralSize) return Fail(ZPV_EXTRACT_NOT_AN_ARCHIVE, "entry count does not fit the directory");
    *cdOffset = offset;
    *cdSize = size;
    *count = total;
    return ZPV_EXTRACT_OK;
}

int ZipReader::ParseDirectory(std::uint64_t cdOffset, std::uint64_t cdSize, std::uint64_t count) {
    std::vector<unsigned char> cd(static_cast<std::size_t>(cdSize));
    if (cdSize && !m_src->ReadAt(cdOffset, cd.data(), cd.size()))
        return Fail(ZPV_EXTRACT_ARCHIVE_UNREADABLE, "cannot read the central directory");
    m_entries.reserve(static_cast<std::size_t>(count));
    m_rawNames.reserve(static_cast<std::size_t>(count));
    std::uint64_t total = 0;
    std::size_t pos = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (cd.size() - pos < kCentralSize || Get32(&cd[pos]) != kSigCentral)
            return Fail(ZPV_EXTRACT_NOT_AN_ARCHIVE, "bad central directory record");
        const unsigned char* h = &cd[pos];
        const std::size_t nameLen = Get16(h + 28), extraLen = Get16(h + 30), commentLen = Get16(h + 32);
        if (cd.size() - pos - kCentralSize < nameLen + extraLen + commentLen)
            return Fail(ZPV_EXTRACT_NOT_AN_ARCHIVE, "central directory record runs past the directory");
        ZipEntry e;
        e.flags = Get16(h + 8);
        e.method = Get16(h + 10);
        e.dosTime = Get16(h + 12);
        e.dosDate = Get16(h + 14);
        e.crc = Get32(h + 16);
        e.compressedSize = Get32(h + 20);
        e.size = Get32(h + 24);
        std::uint64_t diskStart = Get16(h + 34);
        e.headerOffset = Get32(h + 42);
        std::string raw(reinterpret_cast<const char*>(h + kCentralSize), nameLen);
        Extra extra{h + kCentralSize + nameLen, extraLen};

        if (const char* why = ApplyZip64(extra, e, diskStart)) return Fail(ZPV_EXTRACT_NOT_AN_ARCHIVE, why);
        if (diskStart != 0) return Fail(ZPV_EXTRACT_UNSUPPORTED, "archive split over several disks");
        if (e.flags & (kFlagEncrypted | kFlagStrongEncryption))
            return Fail(ZPV_EXTRACT_UNSUPPORTED, "encrypted entry: " + raw);
        if (e.method != 0 && e.method != 8)
            return Fail(ZPV_EXTRACT_UNSUPPORTED, "unsupported compression method in " + raw);

        std::string name;
        if (!DecodeEntryName(e.flags, raw, extra, &name)) return Fail(ZPV_EXTRACT_BAD_NAME, "entry name cannot be decoded");
        EntryPath path;
        std::string why;
        int st = NormalizeEntryPath(name, &path, &why);
        if (st) return Fail(st, "entry \"" + name + "\": " + why);
        e.rel = path.rel;
        e.isDir = path.isDir;
        if (e.isDir && e.size != 0) return Fail(ZPV_EXTRACT_SIZE_MISMATCH, "folder entry with data: " + name);
        if (e.method == 0 && e.compressedSize != e.size)
            return Fail(ZPV_EXTRACT_SIZE_MISMATCH, "stored entry with two different sizes: " + name);
        if (e.method == 8 && e.size / kMaxDeflateRatio > e.compressedSize + 1)
            return Fail(ZPV_EXTRACT_SIZE_MISMATCH, "declared size impossible for its compressed size: " + name);
        if (e.size > m_limits.maxEntrySize) return Fail(ZPV_EXTRACT_TOO_LARGE, "entry too large: " + name);
        total += e.size;
        if (total > m_limits.maxTotalSize) return Fail(ZPV_EXTRACT_TOO_LARGE, "archive content too large");

        m_entries.push_back(std::move(e));
        m_rawNames.push_back(std::move(raw));
        pos += kCentralSize + nameLen + extraLen + commentLen;
    }
    if (pos != cd.size()) return Fail(ZPV_EXTRACT_NOT_AN_ARCHIVE, "central directory longer than its entries");
    return ZPV_EXTRACT_OK;
}

// Two entries may not name the same file, and no file may sit where another entry needs a folder.
int ZipReader::CheckNames() {
    std::string why;
    int st = m_tree.Build(m_entries, static_cast<std::size_t>(m_limits.maxNodes), &why);
    return st ? Fail(st, why) : ZPV_EXTRACT_OK;
}

int ZipReader::CheckLocalHeaders(std::uint64_t cdOffset) {
    const std::uint64_t fileSize = m_src->Size();
    std::vector<std::pair<std::uint64_t, std::uint64_t>> extents;
    extents.reserve(m_entries.size());
    std::vector<unsigned char> buf;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        ZipEntry& e = m_entries[i];
        const std::string& raw = m_rawNames[i];
        if (e.headerOffset > cdOffset || cdOffset - e.headerOffset < kLocalSize)
            return Fail(ZPV_EXTRACT_OVERLAPPING_ENTRIES, "local header inside the central directory: " + e.rel);
        unsigned char h[kLocalSize];
        if (!m_src->ReadAt(e.headerOffset, h, kLocalSize)) return Fail(ZPV_EXTRACT_TRUNCATED, "cannot read local header");
        if (Get32(h) != kSigLocal) return Fail(ZPV_EXTRACT_HEADER_MISMATCH, "no local header for " + e.rel);
        const std::uint16_t flags = Get16(h + 6);
        const std::size_t nameLen = Get16(h + 26), extraLen = Get16(h + 28);
        const std::uint64_t dataOffset = e.headerOffset + kLocalSize + nameLen + extraLen;
        if (dataOffset > cdOffset) return Fail(ZPV_EXTRACT_OVERLAPPING_ENTRIES, "local header runs into the directory");
        buf.resize(nameLen);
        if (nameLen && !m_src->ReadAt(e.headerOffset + kLocalSize, buf.data(), nameLen))
            return Fail(ZPV_EXTRACT_TRUNCATED, "cannot read local header");
        if (nameLen != raw.size() || std::memcmp(buf.data(), raw.data(), nameLen) != 0)
            return Fail(ZPV_EXTRACT_HEADER_MISMATCH, "local name differs for " + e.rel);
        if (Get16(h + 8) != e.method || (flags & kFlagDescriptor) != (e.flags & kFlagDescriptor))
            return Fail(ZPV_EXTRACT_HEADER_MISMATCH, "local header differs for " + e.rel);
        if (!(flags & kFlagDescriptor)) {
            const std::uint32_t lc = Get32(h + 18), lu = Get32(h + 22);
            if (Get32(h + 14) != e.crc || (lc != 0xFFFFFFFF && lc != e.compressedSize) ||
                (lu != 0xFFFFFFFF && lu != e.size))
                return Fail(ZPV_EXTRACT_HEADER_MISMATCH, "local header differs for " + e.rel);
        }
        if (e.compressedSize > cdOffset - dataOffset) {
            return e.compressedSize > fileSize - dataOffset
                       ? Fail(ZPV_EXTRACT_TRUNCATED, "entry data runs past the end of the file: " + e.rel)
                       : Fail(ZPV_EXTRACT_OVERLAPPING_ENTRIES, "entry data runs into the directory: " + e.rel);
        }
        e.dataOffset = dataOffset;
        extents.emplace_back(e.headerOffset, dataOffset + e.compressedSize);
    }
    std::sort(extents.begin(), extents.end());
    for (std::size_t i = 1; i < extents.size(); ++i)
        if (extents[i].first < extents[i - 1].second)
            return Fail(ZPV_EXTRACT_OVERLAPPING_ENTRIES, "entries share data");
    return ZPV_EXTRACT_OK;
}

// With the descriptor flag the CRC follows the data, optionally after a signature.
int ZipReader::CheckDescriptor(const ZipEntry& e) {
    unsigned char d[8];
    const std::uint64_t at = e.dataOffset + e.compressedSize;
    const std::uint64_t avail = m_src->Size() - at;
    if (avail < 4 || !m_src->ReadAt(at, d, static_cast<std::size_t>(std::min<std::uint64_t>(avail, 8))))
        return Fail(ZPV_EXTRACT_TRUNCATED, "missing data descriptor for " + e.rel);
    if (Get32(d) == e.crc) return ZPV_EXTRACT_OK;
    if (avail >= 8 && Get32(d) == kSigDescriptor && Get32(d + 4) == e.crc) return ZPV_EXTRACT_OK;
    return Fail(ZPV_EXTRACT_HEADER_MISMATCH, "data descriptor differs for " + e.rel);
}

int ZipReader::ReadEntry(const ZipEntry& e, EntrySink* sink) {
    if (e.isDir) return ZPV_EXTRACT_OK;
    m_inBuf.resize(kChunk);
    std::uint32_t crc = 0;
    std::uint64_t inLeft = e.compressedSize, inPos = e.dataOffset, produced = 0;

    if (e.method == 0) {
        while (inLeft > 0) {
            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(inLeft, kChunk));
            if (!m_src->ReadAt(inPos, m_inBuf.data(), n)) return Fail(ZPV_EXTRACT_TRUNCATED, "cannot read " + e.rel);
            crc = Crc32(crc, m_inBuf.data(), n);
            if (!sink->Write(m_inBuf.data(), n)) return Fail(ZPV_EXTRACT_WRITE_FAILED, "cannot write " + e.rel);
            inPos += n;
            inLeft -= n;
        }
        produced = e.compressedSize;
    } else {
        m_outBuf.resize(kChunk);
        z_stream zs;
        std::memset(&zs, 0, sizeof zs);
        if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return Fail(ZPV_EXTRACT_INTERNAL_ERROR, "inflate start failed");
        struct End {
            z_stream* z;
            ~End() { inflateEnd(z); }
        } end{&zs};
        int zr = Z_OK;
        while (zr != Z_STREAM_END) {
            if (zs.avail_in == 0 && inLeft > 0) {
                std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(inLeft, kChunk));
                if (!m_src->ReadAt(inPos, m_inBuf.data(), n)) return Fail(ZPV_EXTRACT_TRUNCATED, "cannot read " + e.rel);
                inPos += n;
                inLeft -= n;
                zs.next_in = m_inBuf.data();
                zs.avail_in = static_cast<uInt>(n);
            }
            // Room for one byte more than declared: enough to notice a lie, never more.
            const std::uint64_t room = e.size - produced + 1;
            zs.next_out = m_outBuf.data();
            zs.avail_out = static_cast<uInt>(std::min<std::uint64_t>(room, kChunk));
            const uInt inBefore = zs.avail_in;
            zr = inflate(&zs, Z_NO_FLUSH);
            const std::size_t got = static_cast<std::size_t>(zs.next_out - m_outBuf.data());
            if (zr == Z_DATA_ERROR || zr == Z_NEED_DICT) return Fail(ZPV_EXTRACT_CORRUPT_DATA, "corrupt data in " + e.rel);
            if (zr == Z_MEM_ERROR) return Fail(ZPV_EXTRACT_INTERNAL_ERROR, "out of memory");
            produced += got;
            if (produced > e.size) return Fail(ZPV_EXTRACT_SIZE_MISMATCH, "more data than declared in " + e.rel);
            if (got) {
                crc = Crc32(crc, m_outBuf.data(), got);
                if (!sink->Write(m_outBuf.data(), got)) return Fail(ZPV_EXTRACT_WRITE_FAILED, "cannot write " + e.rel);
            }
            // Input was topped up above, so a call without progress means the data ended early.
            if (zr != Z_STREAM_END && got == 0 && zs.avail_in == inBefore)
                return Fail(ZPV_EXTRACT_CORRUPT_DATA, "compressed data ends early in " + e.rel);
        }
        if (zs.avail_in != 0 || inLeft != 0)
            return Fail(ZPV_EXTRACT_SIZE_MISMATCH, "compressed size larger than the data in " + e.rel);
    }
    if (produced != e.size) return Fail(ZPV_EXTRACT_SIZE_MISMATCH, "less data than declared in " + e.rel);
    if (crc != e.crc) return Fail(ZPV_EXTRACT_CRC_MISMATCH, "CRC-32 mismatch in " + e.rel);
    if (e.flags & kFlagDescriptor) return CheckDescriptor(e);
    return ZPV_EXTRACT_OK;
}

std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t n) {
    auto p = static_cast<const Bytef*>(data);
    while (n > 0) {
        uInt part = static_cast<uInt>(std::min<std::size_t>(n, 1u << 30));
        crc = static_cast<std::uint32_t>(crc32(crc, p, part));
        p += part;
        n -= part;
    }
    return crc;
}

}  // namespace zpvx
