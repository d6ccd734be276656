#include "download/part_join.h"

#include <algorithm>
#include <system_error>

#include "download/file_io.h"

PartJoiner::PartJoiner(std::FILE* out, const std::atomic<bool>& stop) : m_out(out), m_stop(stop) {
    std::setvbuf(m_out, nullptr, _IONBF, 0);
    try {
        m_digester = std::thread(&PartJoiner::DigestLoop, this);
    } catch (const std::system_error&) {
    }
}

PartJoiner::~PartJoiner() {
    Finish();
    CloseOut();
}

bool PartJoiner::CloseOut() {
    std::FILE* f = m_out;
    m_out = nullptr;
    return !f || std::fclose(f) == 0;
}

bool PartJoiner::Merge(const std::filesystem::path& partFile, std::uint32_t start, std::uint32_t end) {
    std::FILE* in = OpenFile(partFile, "rb");
    if (!in) return false;
    std::setvbuf(in, nullptr, _IONBF, 0);
    const std::uint32_t want = end - start;
    std::uint32_t copied = 0;
    if (want > 0 && !SeekTo(m_out, start)) SetWriteFailed();
    // The stop flag is looked at between blocks: a long join ends at once.
    while (copied < want && !WriteFailed() && !Stopped()) {
        Block& block = Acquire();
        const std::size_t n = std::fread(block.data.get(), 1, std::min<std::size_t>(kBlockSize, want - copied), in);
        if (n == 0) break;
        block.offset = std::uint64_t{start} + copied;
        block.size = n;
        Publish();
        if (std::fwrite(block.data.get(), 1, n, m_out) != n) SetWriteFailed();
        copied += static_cast<std::uint32_t>(n);
    }
    std::fclose(in);
    if (!Stopped()) RemoveFile(partFile);   // a stopped join leaves it for the next run
    return true;
}

// The next free block (waits while all are queued for the digest).
PartJoiner::Block& PartJoiner::Acquire() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_produced - m_consumed < kBlocks; });
    return m_blocks[m_produced % kBlocks];
}

// Hands the block filled last to the digest.
void PartJoiner::Publish() {
    if (!m_digester.joinable()) {
        DigestBlock(m_blocks[m_produced % kBlocks]);
        ++m_produced;
        ++m_consumed;
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_produced;
    m_changed.notify_all();
}

void PartJoiner::Finish() {
    if (!m_digester.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_changed.notify_all();
    }
    m_digester.join();
}

bool PartJoiner::Digest(std::uint64_t length, unsigned char digest[16]) {
    DigestZerosUpTo(length);
    if (Stopped()) return false;
    m_md5.Final(digest);
    return true;
}

void PartJoiner::DigestLoop() {
    for (;;) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_consumed < m_produced || m_closed; });
        if (m_consumed == m_produced) return;
        Block& block = m_blocks[m_consumed % kBlocks];
        lock.unlock();
        DigestBlock(block);
        lock.lock();
        ++m_consumed;
        m_changed.notify_all();
    }
}

void PartJoiner::DigestBlock(const Block& block) {
    DigestZerosUpTo(block.offset);
    if (Stopped()) return;
    m_md5.Update(reinterpret_cast<const unsigned char*>(block.data.get()), static_cast<std::uint32_t>(block.size));
    m_digested += block.size;
}

void PartJoiner::DigestZerosUpTo(std::uint64_t offset) {
    static const unsigned char kZeros[64 * 1024] = {};
    while (m_digested < offset && !Stopped()) {
        const std::uint64_t n = std::min<std::uint64_t>(sizeof(kZeros), offset - m_digested);
        m_md5.Update(kZeros, static_cast<std::uint32_t>(n));
        m_digested += n;
    }
}
