#include "download/http_download.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <system_error>
#include <thread>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "app/core/ascii.h"
#include "download/http_connection.h"
#include "download/http_header.h"
#include "download/md5.h"

namespace {
using boost::system::error_code;

// Large reads and copies keep the work per byte low; a few of them at a time stay far below
// the memory budget.
constexpr std::size_t kSegmentReadSize = 256 * 1024;
constexpr std::size_t kJoinBlockSize = 128 * 1024;
constexpr std::size_t kJoinBlocks = 8;
constexpr std::size_t kProbeReadSize = 4096;

std::mutex g_timingsMutex;
DownloadTimings g_timings;

bool IsEndOfStream(const error_code& ec) { return ec == boost::asio::error::eof; }

void RemoveParts(const std::string& filePath) {
    for (int i = 0; i < 4; ++i) std::remove((filePath + std::to_string(i)).c_str());
}
}  // namespace

DownloadTimings GetDownloadTimings() {
    std::lock_guard<std::mutex> lock(g_timingsMutex);
    return g_timings;
}

void SetDownloadTimings(const DownloadTimings& timings) {
    std::lock_guard<std::mutex> lock(g_timingsMutex);
    g_timings = timings;
}

void SegmentRange(std::uint32_t length, int index, std::uint32_t& start, std::uint32_t& end) {
    const std::uint32_t quarter = length / 4;
    start = static_cast<std::uint32_t>(index) * quarter;
    end = index < 3 ? start + quarter : length;
}

// The joined file is written and digested in one pass over the part files, in file order;
// a gap left by a short part file reads back as zeros and is digested as such. The digest runs
// on a thread of its own, one block behind the copy, so that copying and digesting share the
// two cores instead of taking turns.
struct CHttpDownload::JoinState {
    struct Block {
        std::unique_ptr<char[]> data{new char[kJoinBlockSize]};
        std::uint64_t offset = 0;
        std::size_t size = 0;
    };

    std::FILE* out = nullptr;
    bool writeFailed = false;
    Block blocks[kJoinBlocks];

    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t produced = 0;   // blocks handed to the digest
    std::uint64_t consumed = 0;   // blocks digested
    bool closed = false;
    std::thread digester;

    MD5_CTX md5;                  // used by the digest thread (or inline when it is missing)
    std::uint64_t digested = 0;

    JoinState() {
        try {
            digester = std::thread(&JoinState::DigestLoop, this);
        } catch (const std::system_error&) {
        }
    }
    ~JoinState() { Finish(); }

    // The next free block (waits while all are queued for the digest).
    Block& Acquire() {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return produced - consumed < kJoinBlocks; });
        return blocks[produced % kJoinBlocks];
    }
    // Hands the block filled last to the digest.
    void Publish() {
        if (!digester.joinable()) {
            Digest(blocks[produced % kJoinBlocks]);
            ++produced;
            ++consumed;
            return;
        }
        std::lock_guard<std::mutex> lock(mutex);
        ++produced;
        changed.notify_all();
    }
    // Waits until every published block is digested.
    void Finish() {
        if (!digester.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            closed = true;
            changed.notify_all();
        }
        digester.join();
    }

    void DigestLoop() {
        for (;;) {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [this] { return consumed < produced || closed; });
            if (consumed == produced) return;
            Block& block = blocks[consumed % kJoinBlocks];
            lock.unlock();
            Digest(block);
            lock.lock();
            ++consumed;
            changed.notify_all();
        }
    }
    void Digest(const Block& block) {
        DigestZerosUpTo(block.offset);
        md5.Update(reinterpret_cast<const unsigned char*>(block.data.get()), static_cast<std::uint32_t>(block.size));
        digested += block.size;
    }
    void DigestZerosUpTo(std::uint64_t offset) {
        static const unsigned char kZeros[64 * 1024] = {};
        while (digested < offset) {
            const std::uint64_t n = std::min<std::uint64_t>(sizeof(kZeros), offset - digested);
            md5.Update(kZeros, static_cast<std::uint32_t>(n));
            digested += n;
        }
    }
};

CHttpDownload::~CHttpDownload() = default;

void CHttpDownload::RequestStop() {
    stop_.store(true);
    std::lock_guard<std::mutex> lock(monitorMutex_);
    monitorWake_.notify_all();
}

DownloadInfo CHttpDownload::Snapshot(const DownloadInfo& info) const {
    std::lock_guard<std::mutex> lock(progressMutex);
    return info;
}

std::uint64_t CHttpDownload::GetFileSize(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return 0;
#ifdef _WIN32
    const long long pos = _fseeki64(f, 0, SEEK_END) == 0 ? _ftelli64(f) : -1;
#else
    const long long pos = fseeko(f, 0, SEEK_END) == 0 ? static_cast<long long>(ftello(f)) : -1;
#endif
    std::fclose(f);
    return pos < 0 ? 0 : static_cast<std::uint64_t>(pos);
}

std::int64_t CHttpDownload::ProbeLength(std::string& path, std::string& host, DownloadInfo* info,
                                        const std::string& folder) {
    try {
        HttpConnection conn(StopFlags{&stop_, nullptr}, timings_.ioTimeoutMs);
        conn.Connect(host);
        conn.Write(BuildRequest(path, host, 0));
        std::string text;
        std::size_t headerEnd = 0;
        char buffer[kProbeReadSize];
        error_code ec;
        if (!conn.ReadHeader(text, headerEnd, buffer, sizeof(buffer), ec)) {
            if (ec && !IsEndOfStream(ec)) {
                HttpSay(std::string(" exception = ") + boost::system::system_error(ec, "read").what() + "\n");
            }
            std::lock_guard<std::mutex> lock(progressMutex);
            info->totalBytes = 0;
            return 0;
        }
        ResponseHeader header;
        if (!ParseResponseHeader(header, text, headerEnd, folder)) {
            if (header.statusCode >= 300 && header.statusCode <= 399) {
                if (!ApplyRedirect(header.location, host, path)) {
                    HttpSay(" exception = redirect target without a path: " + header.location + "\n");
                    return 0;
                }
                return kProbeRedirect;
            }
            return 0;
        }
        if (header.totalLength < 0) {
            HttpSay(" exception = resource length out of range\n");
            return 0;
        }
        std::lock_guard<std::mutex> lock(progressMutex);
        info->totalBytes = header.totalLength;
        return header.totalLength;
    } catch (const std::exception& e) {
        HttpSay(std::string(" exception = ") + e.what() + "\n");
        return 0;
    }
}

bool CHttpDownload::AppendChunk(Segment& segment, const char* data, std::size_t size,
                                std::uint64_t resumed, std::FILE*& stream) {
    if (!stream) {
        stream = std::fopen(segment.partFile.c_str(), "ab");
        if (stream) {
            // Unbuffered: every chunk reaches the file at once, as one write.
            std::setvbuf(stream, nullptr, _IONBF, 0);
            segment.written += static_cast<std::uint32_t>(resumed);
        }
    }
    if (!stream) return false;
    if (size == 0) return true;
    const std::size_t n = std::fwrite(data, 1, size, stream);
    segment.written += static_cast<std::uint32_t>(n);
    if (n != size) {
        HttpSay(" exception = cannot write " + segment.partFile + "\n");
        return false;
    }
    return true;
}

void CHttpDownload::DownloadSegment(Segment* segment) {
    std::FILE* stream = nullptr;
    try {
        HttpConnection conn(StopFlags{&stop_, &abortSegments_}, timings_.ioTimeoutMs);
        conn.Connect(segment->host);
        const std::uint64_t resumed = GetFileSize(segment->partFile);
        const std::string request =
            BuildRequest(segment->path, segment->host, std::uint64_t{segment->start} + resumed);
        {
            std::lock_guard<std::mutex> lock(progressMutex);
            segment->info->downloadedBytes += static_cast<std::int64_t>(resumed);
        }
        conn.Write(request);

        const std::uint32_t limit = segment->end - segment->start;
        std::unique_ptr<char[]> buffer(new char[kSegmentReadSize]);
        auto takeChunk = [&](const char* data, std::size_t size) {
            AppendChunk(*segment, data, size, resumed, stream);
            std::lock_guard<std::mutex> lock(progressMutex);
            segment->info->downloadedBytes += static_cast<std::int64_t>(size);
            ++chunkCounter_;
        };

        std::string text;
        std::size_t headerEnd = 0;
        error_code ec;
        if (!conn.ReadHeader(text, headerEnd, buffer.get(), kSegmentReadSize, ec)) {
            if (ec && !IsEndOfStream(ec)) throw boost::system::system_error(ec, "read");
        } else {
            ResponseHeader header;
            if (ParseResponseHeader(header, text, headerEnd, segment->folder)) {
                // Nothing past the end of the range is kept or counted: the server's bytes
                // beyond it belong to the next segment (or to nobody).
                const std::uint64_t room = limit > resumed ? limit - resumed : 0;
                takeChunk(text.data(), static_cast<std::size_t>(std::min<std::uint64_t>(text.size(), room)));
                while (segment->written < limit) {
                    const std::size_t want =
                        std::min<std::size_t>(kSegmentReadSize, limit - segment->written);
                    const std::size_t n = conn.ReadSome(buffer.get(), want, ec);
                    if (n == 0) {
                        if (ec && !IsEndOfStream(ec)) throw boost::system::system_error(ec, "read");
                        break;
                    }
                    takeChunk(buffer.get(), n);
                }
            }
        }
    } catch (const std::exception& e) {
        HttpSay(std::string("Exception: ") + e.what() + "\n");
    }
    if (stream) std::fclose(stream);
}

void CHttpDownload::StallMonitor() {
    std::unique_lock<std::mutex> lock(monitorMutex_);
    const auto finished = [this] { return segmentsDone_ || stop_.load(); };
    const auto chunks = [this] {
        std::lock_guard<std::mutex> g(progressMutex);
        return chunkCounter_;
    };
    if (chunks() == 0) {
        bool seen = false;
        for (std::uint32_t i = 0; i < timings_.firstChunkChecks && !seen; ++i) {
            if (monitorWake_.wait_for(lock, std::chrono::milliseconds(timings_.firstChunkCheckMs), finished)) return;
            seen = chunks() != 0;
        }
        // Nothing arrived yet: the read time limit of each segment ends a silent server.
        if (!seen) return;
    }
    for (;;) {
        const std::int32_t before = chunks();
        if (monitorWake_.wait_for(lock, std::chrono::milliseconds(timings_.stallMs), finished)) return;
        if (chunks() == before) break;
    }
    // Stalled: end the four transfers by closing their connections; they end on their own.
    abortSegments_.store(true);
}

bool CHttpDownload::MergeSegment(const Segment& segment, JoinState& join) {
    std::FILE* in = std::fopen(segment.partFile.c_str(), "rb");
    if (!in) return false;
    std::setvbuf(in, nullptr, _IONBF, 0);
    const std::uint32_t want = segment.end - segment.start;
    std::uint32_t copied = 0;
    if (want > 0 && std::fseek(join.out, static_cast<long>(segment.start), SEEK_SET) != 0) join.writeFailed = true;
    while (copied < want && !join.writeFailed) {
        JoinState::Block& block = join.Acquire();
        const std::size_t n = std::fread(block.data.get(), 1, std::min<std::size_t>(kJoinBlockSize, want - copied), in);
        if (n == 0) break;
        block.offset = std::uint64_t{segment.start} + copied;
        block.size = n;
        join.Publish();
        if (std::fwrite(block.data.get(), 1, n, join.out) != n) join.writeFailed = true;
        copied += static_cast<std::uint32_t>(n);
    }
    std::fclose(in);
    std::remove(segment.partFile.c_str());
    return true;
}

int CHttpDownload::JoinAndVerify(Segment (&segments)[4], DownloadInfo* info, const std::string& folder) {
    const std::string filePath = folder + "update.td";
    JoinState join;
    join.out = std::fopen(filePath.c_str(), "wb");
    if (!join.out) {
        RemoveParts(filePath);
        return kCreateFailed;
    }
    std::setvbuf(join.out, nullptr, _IONBF, 0);
    for (auto& segment : segments) {
        if (!MergeSegment(segment, join)) {
            RemoveParts(filePath);
            join.Finish();
            std::fclose(join.out);
            std::remove(filePath.c_str());
            return kPartOpenFailed;
        }
    }
    join.Finish();
    if (std::fclose(join.out) != 0) join.writeFailed = true;
    const auto discard = [&](int result) {
        std::remove(filePath.c_str());
        std::lock_guard<std::mutex> lock(progressMutex);
        info->downloadedBytes = 0;
        return result;
    };
    // A failed write leaves a file that cannot be trusted, whatever its length.
    if (join.writeFailed) return discard(kCreateFailed);

    std::int64_t expectedLength, length = static_cast<std::int64_t>(GetFileSize(filePath));
    std::string expectedMd5;
    {
        std::lock_guard<std::mutex> lock(progressMutex);
        expectedLength = info->totalBytes;
        expectedMd5 = info->md5;
    }
    if (length != expectedLength) return discard(kLengthMismatch);

    join.DigestZerosUpTo(static_cast<std::uint64_t>(length));
    unsigned char digest[16];
    join.md5.Final(digest);
    if (!EqualsIgnoreAsciiCase(expectedMd5, DigestHex(digest))) return discard(kDigestMismatch);

    const std::string zipPath = folder + "update.zip";
    std::remove(zipPath.c_str());
    // A package that cannot be put in place is a failure, not a success.
    if (std::rename(filePath.c_str(), zipPath.c_str()) != 0) return discard(kCreateFailed);
    return kDownloadOk;
}

int CHttpDownload::Download(std::string& host, std::string& path, DownloadInfo* info,
                            const std::string& folder) {
    timings_ = GetDownloadTimings();
    const std::string filePath = folder + "update.td";
    {
        std::lock_guard<std::mutex> lock(progressMutex);
        info->filePath = filePath;
    }
    const std::int64_t length = ProbeLength(path, host, info, folder);
    if (length <= 0) return length == kProbeRedirect ? kRedirected : kProbeFailed;
    if (stop_.load()) return kProbeFailed;

    Segment segments[4];
    for (int i = 0; i < 4; ++i) {
        Segment& s = segments[i];
        s.host = host;
        s.path = path;
        SegmentRange(static_cast<std::uint32_t>(length), i, s.start, s.end);
        s.partFile = filePath + std::to_string(i);
        s.info = info;
        s.folder = folder;
    }

    abortSegments_.store(false);
    {
        std::lock_guard<std::mutex> lock(monitorMutex_);
        segmentsDone_ = false;
    }
    // A thread that cannot be created leaves its part file missing or short; the join and
    // the checks below then fail the attempt.
    std::thread threads[4];
    for (int i = 0; i < 4; ++i) {
        try {
            threads[i] = std::thread(&CHttpDownload::DownloadSegment, this, &segments[i]);
        } catch (const std::system_error&) {
        }
    }
    std::thread monitor;
    try {
        monitor = std::thread(&CHttpDownload::StallMonitor, this);
    } catch (const std::system_error&) {
    }
    for (auto& t : threads) {
        if (t.joinable()) t.join();
    }
    {
        std::lock_guard<std::mutex> lock(monitorMutex_);
        segmentsDone_ = true;
        monitorWake_.notify_all();
    }
    if (monitor.joinable()) monitor.join();
    {
        std::lock_guard<std::mutex> lock(progressMutex);
        chunkCounter_ = 0;
    }
    // Stopped from outside (the program is ending): the part files stay for the next run.
    if (stop_.load()) return kProbeFailed;
    return JoinAndVerify(segments, info, folder);
}
