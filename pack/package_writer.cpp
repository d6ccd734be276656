#include "pack/package_writer.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "download/md5.h"
#include "pack/sha256.h"

namespace zpvpack {
namespace {

// Files are deflated in chunks of this size, each primed with the 32 KiB before it, so a large
// file keeps every core busy; the chunk size is part of the output format (fixed for determinism).
constexpr std::size_t kChunk = 512 * 1024;
constexpr std::size_t kWindow = 32 * 1024;
// 2000-01-01 00:00: a fixed time that stays after 1980 in every time zone.
constexpr std::uint16_t kDosDate = (20 << 9) | (1 << 5) | 1;
constexpr std::uint16_t kDosTime = 0;
constexpr std::uint16_t kFlagUtf8 = 1u << 11;
// Made on a Unix host, version 4.5: readers on the build servers then take the UTF-8 names and
// the permissions as they are. The attributes hold both the Unix mode and the DOS folder bit.
constexpr std::uint16_t kMadeBy = (3 << 8) | 45;
constexpr std::uint32_t kAttrFolder = (040755u << 16) | 0x10;
constexpr std::uint32_t kAttrFile = 0100644u << 16;
constexpr std::uint64_t kMax32 = 0xFFFFFFFFull;

void Put16(std::string& s, std::uint16_t v) { s.push_back(char(v & 0xFF)); s.push_back(char(v >> 8)); }
void Put32(std::string& s, std::uint32_t v) { for (int i = 0; i < 4; ++i) s.push_back(char((v >> (8 * i)) & 0xFF)); }
void Put64(std::string& s, std::uint64_t v) { for (int i = 0; i < 8; ++i) s.push_back(char((v >> (8 * i)) & 0xFF)); }

struct Job {
    std::size_t item = 0;
    std::uint64_t offset = 0;
    std::size_t length = 0;
    bool last = false;
};

// Bytes spread as evenly as random ones cannot be deflated smaller; such a file is stored
// without trying. The test is Pearson's chi-square of the first chunk's byte counts against an
// even spread, at most twice its 255 degrees of freedom (random data lands near 255, text and
// code in the many thousands), in integer arithmetic so every machine decides alike. Less than
// 4 KiB is too little to tell, and cheap to try anyway.
bool LooksRandom(const std::vector<unsigned char>& data) {
    const std::uint64_t n = data.size();
    if (n < 4096) return false;
    std::uint64_t count[256] = {};
    for (unsigned char c : data) ++count[c];
    // chi2 = sum((256 c - n)^2) / (256 n); the sums stay far below 2^64 for a chunk.
    std::uint64_t sum = 0;
    for (std::uint64_t c : count) {
        const std::uint64_t d = 256 * c > n ? 256 * c - n : n - 256 * c;
        sum += d * d;
    }
    return sum <= 2 * 255 * 256 * n;
}

struct Chunk {
    bool done = false;
    bool random = false;   // first chunk of a file that is stored untried
    bool failed = false;
    std::uint32_t crc = 0;
    std::vector<unsigned char> raw, packed;   // packed empty when not deflated
};

// Deflates the chunks of all files on worker threads; the writer takes them back in order. At
// most kSlots chunks are in flight, so memory stays bounded whatever the file sizes.
class ChunkPool {
public:
    ChunkPool(const std::vector<Item>& items, unsigned threads) : m_items(items), m_stored(items.size()) {
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (items[i].isDir || items[i].size == 0) continue;
            for (std::uint64_t off = 0; off < items[i].size; off += kChunk) {
                const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, items[i].size - off));
                m_jobs.push_back(Job{i, off, len, off + len == items[i].size});
            }
        }
        m_slots.resize(kSlots);
        for (unsigned t = 0; t < threads; ++t) m_threads.emplace_back([this] { Work(); });
    }
    ~ChunkPool() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_cv.notify_all();
        for (std::thread& t : m_threads) t.join();
    }
    // The next chunk in order; blocks until it is done.
    Chunk Take() {
        std::unique_lock<std::mutex> lock(m_mutex);
        Chunk& slot = m_slots[m_taken % kSlots];
        m_cv.wait(lock, [&] { return slot.done; });
        Chunk out = std::move(slot);
        slot = Chunk();
        ++m_taken;
        lock.unlock();
        m_cv.notify_all();
        return out;
    }
    // Later chunks of this file are not deflated any more.
    void MarkStored(std::size_t item) { m_stored[item] = true; }

    static constexpr std::size_t kSlots = 8;

private:
    void Work() {
        z_stream zs;
        std::memset(&zs, 0, sizeof zs);
        // Raw deflate, level 9, zlib's default memory and strategy: part of the output format.
        const bool zok = deflateInit2(&zs, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
        std::vector<unsigned char> buf;
        for (;;) {
            std::size_t j;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_cv.wait(lock, [&] { return m_stop || (m_next < m_jobs.size() && m_next < m_taken + kSlots); });
                if (m_stop) break;
                j = m_next++;
            }
            Chunk c;
            const Job& job = m_jobs[j];
            const std::size_t dict = static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, job.offset));
            buf.resize(dict + job.length);
            std::ifstream in(m_items[job.item].source, std::ios::binary);
            in.seekg(static_cast<std::streamoff>(job.offset - dict));
            if (!zok || !in.read(reinterpret_cast<char*>(buf.data()), static_cast<std::streamsize>(buf.size()))) c.failed = true;
            // At the end of the file: a file that grew while packing is a changed file too.
            if (!c.failed && job.last && in.peek() != std::char_traits<char>::eof()) c.failed = true;
            if (!c.failed) {
                c.raw.assign(buf.begin() + static_cast<std::ptrdiff_t>(dict), buf.end());
                c.crc = static_cast<std::uint32_t>(crc32(0, c.raw.data(), static_cast<uInt>(c.raw.size())));
                if (job.offset == 0 && LooksRandom(c.raw)) {
                    c.random = true;
                    m_stored[job.item] = true;
                }
                if (!m_stored[job.item]) {
                    deflateReset(&zs);
                    if (dict) deflateSetDictionary(&zs, buf.data(), static_cast<uInt>(dict));
                    c.packed.resize(deflateBound(&zs, static_cast<uLong>(job.length)) + 16);
                    zs.next_in = c.raw.data();
                    zs.avail_in = static_cast<uInt>(c.raw.size());
                    zs.next_out = c.packed.data();
                    zs.avail_out = static_cast<uInt>(c.packed.size());
                    // Chunks before the last end on a byte boundary without the final-block bit.
                    const int zr = deflate(&zs, job.last ? Z_FINISH : Z_SYNC_FLUSH);
                    if ((job.last && zr != Z_STREAM_END) || (!job.last && zr != Z_OK) || zs.avail_in != 0) c.failed = true;
                    c.packed.resize(c.packed.size() - zs.avail_out);
                }
            }
            c.done = true;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_slots[j % kSlots] = std::move(c);
            }
            m_cv.notify_all();
        }
        if (zok) deflateEnd(&zs);
    }

    const std::vector<Item>& m_items;
    std::vector<Job> m_jobs;
    std::vector<std::atomic<bool>> m_stored;
    std::vector<Chunk> m_slots;
    std::vector<std::thread> m_threads;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::size_t m_next = 0, m_taken = 0;
    bool m_stop = false;
};

struct Central {
    std::string name;
    bool isDir;
    std::uint16_t method;
    std::uint32_t crc;
    std::uint64_t csize, size, offset;
};

class Writer {
public:
    explicit Writer(const fs::path& path) : m_out(path, std::ios::binary | std::ios::trunc) {}
    bool Ok() const { return static_cast<bool>(m_out); }
    std::uint64_t Pos() const { return m_pos; }
    void Write(const void* p, std::size_t n) {
        m_out.write(static_cast<const char*>(p), static_cast<std::streamsize>(n));
        m_pos += n;
    }
    void Write(const std::string& s) { Write(s.data(), s.size()); }
    void Flush() { m_out.flush(); }
    void PatchAt(std::uint64_t at, const std::string& s) {
        m_out.seekp(static_cast<std::streamoff>(at));
        m_out.write(s.data(), static_cast<std::streamsize>(s.size()));
        m_out.seekp(static_cast<std::streamoff>(m_pos));
    }
    void Rewind(std::uint64_t to) {
        m_out.seekp(static_cast<std::streamoff>(to));
        m_pos = to;
    }
    bool Close() {
        m_out.close();
        return !m_out.fail();
    }

private:
    std::ofstream m_out;
    std::uint64_t m_pos = 0;
};

// The fields both headers of an entry share, from the version needed to the name's length;
// sizes of 4 GiB or more stand in the Zip64 extra field.
void PutEntryFields(std::string& h, const Central& c, bool zip64Version, bool bigSize) {
    Put16(h, zip64Version ? 45 : 20);
    Put16(h, kFlagUtf8);
    Put16(h, c.method);
    Put16(h, kDosTime);
    Put16(h, kDosDate);
    Put32(h, c.crc);
    Put32(h, bigSize ? 0xFFFFFFFF : static_cast<std::uint32_t>(c.csize));
    Put32(h, bigSize ? 0xFFFFFFFF : static_cast<std::uint32_t>(c.size));
    Put16(h, static_cast<std::uint16_t>(c.name.size()));
}

std::string LocalHeader(const Central& c, bool zip64) {
    std::string h;
    Put32(h, 0x04034b50);
    PutEntryFields(h, c, zip64, zip64);
    Put16(h, zip64 ? 20 : 0);
    h += c.name;
    if (zip64) {
        Put16(h, 1);
        Put16(h, 16);
        Put64(h, c.size);
        Put64(h, c.csize);
    }
    return h;
}

std::string CentralRecord(const Central& c) {
    const bool bigSize = c.size >= kMax32, bigOffset = c.offset >= kMax32;
    std::string extra;
    if (bigSize) {
        Put64(extra, c.size);
        Put64(extra, c.csize);
    }
    if (bigOffset) Put64(extra, c.offset);
    std::string h;
    Put32(h, 0x02014b50);
    Put16(h, kMadeBy);
    PutEntryFields(h, c, bigSize || bigOffset, bigSize);
    Put16(h, static_cast<std::uint16_t>(extra.empty() ? 0 : extra.size() + 4));
    Put16(h, 0);   // comment
    Put16(h, 0);   // disk
    Put16(h, 0);   // internal attributes
    Put32(h, c.isDir ? kAttrFolder : kAttrFile);
    Put32(h, bigOffset ? 0xFFFFFFFF : static_cast<std::uint32_t>(c.offset));
    h += c.name;
    if (!extra.empty()) {
        Put16(h, 1);
        Put16(h, static_cast<std::uint16_t>(extra.size()));
        h += extra;
    }
    return h;
}

std::string EndRecords(std::uint64_t count, std::uint64_t cdOffset, std::uint64_t cdSize) {
    std::string h;
    const bool zip64 = count >= 0xFFFF || cdOffset >= kMax32 || cdSize >= kMax32;
    if (zip64) {
        const std::uint64_t at = cdOffset + cdSize;
        Put32(h, 0x06064b50);
        Put64(h, 44);
        Put16(h, kMadeBy);
        Put16(h, 45);
        Put32(h, 0);
        Put32(h, 0);
        Put64(h, count);
        Put64(h, count);
        Put64(h, cdSize);
        Put64(h, cdOffset);
        Put32(h, 0x07064b50);
        Put32(h, 0);
        Put64(h, at);
        Put32(h, 1);
    }
    Put32(h, 0x06054b50);
    Put16(h, 0);
    Put16(h, 0);
    Put16(h, zip64 ? 0xFFFF : static_cast<std::uint16_t>(count));
    Put16(h, zip64 ? 0xFFFF : static_cast<std::uint16_t>(count));
    Put32(h, zip64 ? 0xFFFFFFFF : static_cast<std::uint32_t>(cdSize));
    Put32(h, zip64 ? 0xFFFFFFFF : static_cast<std::uint32_t>(cdOffset));
    Put16(h, 0);
    return h;
}

// Copies a file's bytes as they are (a file that deflating made no smaller); false when it
// cannot be read or no longer has its size and CRC.
bool CopyStored(const Item& item, std::uint32_t crc, Writer& w) {
    std::ifstream in(item.source, std::ios::binary);
    std::vector<char> buf(kChunk);
    std::uint64_t left = item.size;
    std::uint32_t got = 0;
    while (left > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, buf.size()));
        if (!in.read(buf.data(), static_cast<std::streamsize>(n))) return false;
        got = static_cast<std::uint32_t>(crc32(got, reinterpret_cast<const Bytef*>(buf.data()), static_cast<uInt>(n)));
        w.Write(buf.data(), n);
        left -= n;
    }
    return got == crc;
}

// Digests the package while it is written, on a thread of its own, reading back what is final:
// everything up to the end of the last finished entry (a local header is patched, and a file
// rewritten stored, only within its own entry).
class Digester {
public:
    explicit Digester(const fs::path& path) : m_path(path), m_thread([this] { Run(); }) {}
    ~Digester() {
        Stop(false);
    }
    void Advance(std::uint64_t upTo) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_final = upTo;
        }
        m_cv.notify_all();
    }
    // The digests of the first size bytes; false when they could not be read back.
    bool Finish(std::uint64_t size, std::string* md5, std::string* sha256) {
        Advance(size);
        Stop(true);
        unsigned char d[16];
        m_md5.Final(d);
        *md5 = DigestHex(d);
        *sha256 = m_sha.FinalHex();
        return !m_failed && m_done == size;
    }

private:
    void Stop(bool finish) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_closing) return;
            m_closing = true;
            m_abort = !finish;
        }
        m_cv.notify_all();
        m_thread.join();
    }
    void Run() {
        std::ifstream in;
        in.rdbuf()->pubsetbuf(nullptr, 0);   // no read-ahead into bytes that are not final yet
        in.open(m_path, std::ios::binary);
        std::vector<char> buf(256 * 1024);
        for (;;) {
            std::uint64_t upTo;
            bool closing;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_cv.wait(lock, [&] { return m_final > m_done || m_closing; });
                if (m_abort) return;
                upTo = m_final;
                closing = m_closing;
            }
            while (m_done < upTo) {
                const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), upTo - m_done));
                in.clear();
                in.seekg(static_cast<std::streamoff>(m_done));
                if (!in.read(buf.data(), static_cast<std::streamsize>(n))) {
                    m_failed = true;
                    return;
                }
                m_md5.Update(reinterpret_cast<const unsigned char*>(buf.data()), static_cast<std::uint32_t>(n));
                m_sha.Update(buf.data(), n);
                m_done += n;
            }
            if (closing) return;
        }
    }

    fs::path m_path;
    MD5_CTX m_md5;
    Sha256 m_sha;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::uint64_t m_final = 0, m_done = 0;
    bool m_closing = false, m_abort = false, m_failed = false;
    std::thread m_thread;
};

}  // namespace

bool WritePackage(const std::vector<Item>& items, const fs::path& out, PackResult* result, Failure* failure, unsigned threads) {
    const fs::path tmp = fs::path(out).concat(".part");
    // Removes the temporary file on every way out but success, after the writer has closed it.
    struct Cleanup {
        const fs::path& path;
        bool keep = false;
        ~Cleanup() {
            std::error_code ec;
            if (!keep) fs::remove(path, ec);
        }
    } cleanup{tmp};
    auto fail = [&](int status, const std::string& text) {
        failure->status = status;
        failure->text = text;
        return false;
    };
    if (threads == 0) threads = std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
    *result = PackResult();
    std::vector<Central> central;
    central.reserve(items.size());
    std::unique_ptr<Digester> digester;
    {
        Writer w(tmp);
        if (!w.Ok()) return fail(kIoError, "cannot create " + tmp.u8string());
        ChunkPool pool(items, threads);
        digester = std::make_unique<Digester>(tmp);
        for (std::size_t i = 0; i < items.size(); ++i) {
            const Item& it = items[i];
            Central c{it.name + (it.isDir ? "/" : ""), it.isDir, 0, 0, 0, it.size, w.Pos()};
            const bool zip64 = it.size >= kMax32;
            w.Write(LocalHeader(c, zip64));
            const std::uint64_t dataStart = w.Pos();
            bool stored = false;
            for (std::uint64_t off = 0; off < it.size; off += kChunk) {
                Chunk k = pool.Take();
                if (k.failed) return fail(kIoError, it.name + ": cannot read it, or it changed while packing");
                if (off == 0 && (k.random || k.packed.size() >= k.raw.size())) {
                    // The first chunk does not shrink: the file is taken as it is.
                    stored = true;
                    pool.MarkStored(i);
                }
                const std::vector<unsigned char>& bytes = stored ? k.raw : k.packed;
                w.Write(bytes.data(), bytes.size());
                c.crc = off == 0 ? k.crc : static_cast<std::uint32_t>(crc32_combine(c.crc, k.crc, static_cast<z_off_t>(k.raw.size())));
            }
            c.csize = w.Pos() - dataStart;
            if (!stored && it.size > 0 && c.csize >= it.size) {
                w.Rewind(dataStart);
                if (!CopyStored(it, c.crc, w)) return fail(kIoError, it.name + ": cannot read it, or it changed while packing");
                stored = true;
                c.csize = it.size;
            }
            c.method = it.isDir || stored || it.size == 0 ? 0 : 8;
            w.PatchAt(c.offset, LocalHeader(c, zip64));
            central.push_back(c);
            w.Flush();
            digester->Advance(w.Pos());
            if (it.isDir) ++result->folders;
            else ++result->files;
            result->stored += !it.isDir && c.method == 0;
            result->content += it.size;
        }
        const std::uint64_t cdOffset = w.Pos();
        for (const Central& c : central) w.Write(CentralRecord(c));
        w.Write(EndRecords(central.size(), cdOffset, w.Pos() - cdOffset));
        result->bytes = w.Pos();
        if (!w.Close()) return fail(kIoError, "cannot write " + tmp.u8string());
    }
    std::error_code ec;
    // A file that fell back to stored at the end leaves bytes past the real end.
    fs::resize_file(tmp, result->bytes, ec);
    if (ec) return fail(kIoError, "cannot write " + tmp.u8string() + " (" + ec.message() + ")");
    if (!digester->Finish(result->bytes, &result->md5, &result->sha256)) return fail(kIoError, "cannot read back " + tmp.u8string());
    fs::rename(tmp, out, ec);
    if (ec) return fail(kIoError, "cannot rename " + tmp.u8string() + " to " + out.u8string() + " (" + ec.message() + ")");
    cleanup.keep = true;
    return true;
}

}  // namespace zpvpack
