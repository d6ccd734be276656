// The join of the four part files into "update.td" and its digest, in one pass.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "download/md5.h"

// The joined file is written and digested in one pass over the part files, in file order; a
// gap left by a short part file reads back as zeros and is digested as such. The digest runs
// on a thread of its own, one block behind the copy, so that copying and digesting share the
// two cores instead of taking turns. After a stop request nothing more is digested.
class PartJoiner {
public:
    static constexpr std::size_t kBlockSize = 128 * 1024;
    static constexpr std::size_t kBlocks = 8;

    // Takes the open output file (unbuffered from here on).
    PartJoiner(std::FILE* out, const std::atomic<bool>& stop);
    ~PartJoiner();
    PartJoiner(const PartJoiner&) = delete;
    PartJoiner& operator=(const PartJoiner&) = delete;

    // Copies the part file holding [start, end) of the resource to its place; false when it
    // cannot be opened. A short part file leaves a gap. The part file is deleted afterwards,
    // unless a stop request came meanwhile (it is kept for the next run).
    bool Merge(const std::filesystem::path& partFile, std::uint32_t start, std::uint32_t end);
    bool CloseOut();
    bool Stopped() const { return m_stop.load(); }
    void SetWriteFailed() { m_writeFailed = true; }
    bool WriteFailed() const { return m_writeFailed; }
    // Waits until every copied block is digested.
    void Finish();
    // The digest of the first length bytes (after Finish); false when stopped meanwhile.
    bool Digest(std::uint64_t length, unsigned char digest[16]);

private:
    struct Block {
        std::unique_ptr<char[]> data{new char[kBlockSize]};
        std::uint64_t offset = 0;
        std::size_t size = 0;
    };
    Block& Acquire();
    void Publish();
    void DigestLoop();
    void DigestBlock(const Block& block);
    void DigestZerosUpTo(std::uint64_t offset);

    std::FILE* m_out;
    const std::atomic<bool>& m_stop;
    bool m_writeFailed = false;
    Block m_blocks[kBlocks];

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::uint64_t m_produced = 0;   // blocks handed to the digest
    std::uint64_t m_consumed = 0;   // blocks digested
    bool m_closed = false;
    std::thread m_digester;

    MD5_CTX m_md5;                  // used by the digest thread (or inline when it is missing)
    std::uint64_t m_digested = 0;
};
