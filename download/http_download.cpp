#include "download/http_download.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "app/core/ascii.h"
#include "download/file_io.h"
#include "download/part_join.h"
#include "download/stall_watch.h"
#include "download/md5.h"
#include "http/http_connection.h"
#include "http/http_header.h"
#include "log/rklog.h"

namespace {
namespace fs = std::filesystem;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Large reads and copies keep the work per byte low; a few of them at a time stay far below
// the memory budget.
constexpr std::size_t kSegmentReadSize = 256 * 1024;
constexpr std::size_t kProbeReadSize = 4096;

bool IsEndOfStream(const error_code& ec) { return ec == boost::asio::error::eof; }

fs::path PartFile(const fs::path& folder, int index) { return folder / ("update.td" + std::to_string(index)); }

void RemoveParts(const fs::path& folder) {
    for (int i = 0; i < 4; ++i) RemoveFile(PartFile(folder, i));
}

}  // namespace

const char* DownloadResultText(int result) {
    switch (result) {
        case kDownloadOk: return "the package is in place and verified";
        case kProbeFailed: return "the length probe failed (no usable answer with a length)";
        case kCreateFailed: return "a part file or update.td could not be written, or update.zip not put in place";
        case kPartOpenFailed: return "a part file could not be opened for the join";
        case kLengthMismatch: return "the joined file's length differs from the server's length";
        case kDigestMismatch: return "the package's MD5 digest differs from the expected one";
        case kRedirected: return "too many redirects";
        default: return "no attempt finished";
    }
}

void SegmentRange(std::uint32_t length, int index, std::uint32_t& start, std::uint32_t& end) {
    const std::uint32_t quarter = length / 4;
    start = static_cast<std::uint32_t>(index) * quarter;
    end = index < 3 ? start + quarter : length;
}

CHttpDownload::~CHttpDownload() = default;

void CHttpDownload::RequestStop() {
    m_stop.store(true);
    std::lock_guard<std::mutex> lock(m_monitorMutex);
    m_monitorWake.notify_all();
}

DownloadInfo CHttpDownload::Snapshot(const DownloadInfo& info) const {
    std::lock_guard<std::mutex> lock(progressMutex);
    return info;
}

std::uint64_t CHttpDownload::GetFileSize(const fs::path& path) { return FileSize(path); }

std::int32_t CHttpDownload::Chunks() const {
    std::lock_guard<std::mutex> lock(progressMutex);
    return chunkCounter;
}

std::int64_t CHttpDownload::ProbeLength(UrlScheme& scheme, std::string& host, std::string& path, DownloadInfo* info,
                                        const fs::path& folder) {
    try {
        HttpConnection conn(StopFlags{&m_stop, nullptr}, m_timings, nullptr, &m_tls);
        conn.Connect(host, scheme);
        conn.Write(BuildRequest(path, host, 0));
        std::string text;
        std::size_t headerEnd = 0;
        char buffer[kProbeReadSize];
        error_code ec;
        if (!conn.ReadHeader(text, headerEnd, buffer, sizeof(buffer), ec)) {
            if (ec && !IsEndOfStream(ec) && !m_stop.load()) {
                HttpSay(std::string(" exception = ") + boost::system::system_error(ec, "response header").what() + "\n");
            }
            std::lock_guard<std::mutex> lock(progressMutex);
            info->totalBytes = 0;
            return 0;
        }
        ResponseHeader header;
        if (!ParseResponseHeader(header, text, headerEnd, folder)) {
            if (header.statusCode >= 300 && header.statusCode <= 399) return TakeRedirect(header.location, scheme, host, path);
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
        if (!m_stop.load()) HttpSay(std::string(" exception = ") + e.what() + "\n");
        return 0;
    }
}

std::int64_t CHttpDownload::TakeRedirect(const std::string& location, UrlScheme& scheme, std::string& host,
                                         std::string& path) {
    std::string reason;
    switch (ApplyRedirect(location, scheme, host, path, reason)) {
        case Redirect::kTaken:
            return kProbeRedirect;
        case Redirect::kWithoutPath:
            reason = "redirect target without a path";
            break;
        case Redirect::kRefused:
            break;
    }
    HttpSay(" exception = " + reason + ": " + EscapeControls(location) + "\n");
    return 0;
}

bool CHttpDownload::AppendChunk(Segment& segment, const char* data, std::size_t size, std::uint64_t resumed,
                                std::FILE*& stream, std::size_t& stored) {
    stored = 0;
    if (!stream) {
        stream = OpenFile(segment.partFile, "ab");
        if (!stream) {
            const std::string why = LastErrorText();
            HttpSay(" exception = cannot open " + PathText(segment.partFile) + ": " + why + "\n");
            return false;
        }
        // Unbuffered: every chunk reaches the file at once, as one write.
        std::setvbuf(stream, nullptr, _IONBF, 0);
        segment.written += static_cast<std::uint32_t>(std::min<std::uint64_t>(resumed, segment.end - segment.start));
    }
    if (size == 0) return true;
    stored = std::fwrite(data, 1, size, stream);
    segment.written += static_cast<std::uint32_t>(stored);
    if (stored != size) {
        const std::string why = LastErrorText();
        HttpSay(" exception = cannot write " + PathText(segment.partFile) + ": " + why + "\n");
        return false;
    }
    return true;
}

// Writes a chunk and counts what reached the file. A part file that cannot be written ends
// the whole attempt at once: going on would only count bytes that are not kept.
bool CHttpDownload::TakeChunk(Segment& segment, const char* data, std::size_t size, std::uint64_t resumed,
                              std::FILE*& stream) {
    std::size_t stored = 0;
    const bool ok = AppendChunk(segment, data, size, resumed, stream, stored);
    {
        std::lock_guard<std::mutex> lock(progressMutex);
        segment.info->downloadedBytes += static_cast<std::int64_t>(stored);
        ++chunkCounter;
    }
    if (!ok) {
        m_writeFailed.store(true);
        m_abortSegments.store(true);
    }
    return ok;
}

void CHttpDownload::ReceiveSegment(Segment& segment, std::FILE*& stream) {
    HttpConnection conn(StopFlags{&m_stop, &m_abortSegments}, m_timings, &m_receivedBytes, &m_tls);
    conn.Connect(segment.host, segment.scheme);
    const std::uint64_t resumed = GetFileSize(segment.partFile);
    const std::uint32_t limit = segment.end - segment.start;
    const std::string request = BuildRequest(segment.path, segment.host, std::uint64_t{segment.start} + resumed);
    {
        // A part file longer than its range (an earlier run's) counts only the range.
        std::lock_guard<std::mutex> lock(progressMutex);
        segment.info->downloadedBytes += static_cast<std::int64_t>(std::min<std::uint64_t>(resumed, limit));
    }
    conn.Write(request);

    std::unique_ptr<char[]> buffer(new char[kSegmentReadSize]);
    std::string text;
    std::size_t headerEnd = 0;
    error_code ec;
    if (!conn.ReadHeader(text, headerEnd, buffer.get(), kSegmentReadSize, ec)) {
        if (ec && !IsEndOfStream(ec)) throw boost::system::system_error(ec, "response header");
        return;
    }
    ResponseHeader header;
    if (!ParseResponseHeader(header, text, headerEnd, segment.folder)) return;
    // Nothing past the end of the range is kept or counted: the server's bytes beyond it
    // belong to the next segment (or to nobody).
    const std::uint64_t room = limit > resumed ? limit - resumed : 0;
    if (!TakeChunk(segment, text.data(), static_cast<std::size_t>(std::min<std::uint64_t>(text.size(), room)),
                   resumed, stream)) {
        return;
    }
    while (segment.written < limit) {
        const std::size_t want = std::min<std::size_t>(kSegmentReadSize, limit - segment.written);
        const std::size_t n = conn.ReadSome(buffer.get(), want, ec);
        if (n == 0) {
            if (ec && !IsEndOfStream(ec)) throw boost::system::system_error(ec, "read");
            break;
        }
        if (!TakeChunk(segment, buffer.get(), n, resumed, stream)) return;
    }
}

void CHttpDownload::DownloadSegment(Segment* segment) {
    std::FILE* stream = nullptr;
    try {
        ReceiveSegment(*segment, stream);
    } catch (const std::exception& e) {
        // After the owner's stop request the aborted operations are no news.
        if (!m_stop.load()) HttpSay(std::string("Exception: ") + e.what() + "\n");
    } catch (...) {
        if (!m_stop.load()) HttpSay("Exception: unknown error\n");
    }
    if (stream) std::fclose(stream);
}

// Wakes when the watch has something to check, until the segments are done or a stop request.
void CHttpDownload::StallMonitor() {
    StallWatch watch(m_timings, Chunks(), Clock::now());
    std::string why;
    std::unique_lock<std::mutex> lock(m_monitorMutex);
    const auto finished = [this] { return m_segmentsDone || m_stop.load(); };
    while (why.empty()) {
        if (m_monitorWake.wait_until(lock, watch.Next(), finished)) return;
        why = watch.Check(Clock::now(), Chunks(), m_receivedBytes.load());
    }
    lock.unlock();
    // Stalled: end the four transfers by closing their connections; they end on their own.
    m_abortSegments.store(true);
    LOG_STREAM_FN(rklog::kWarn, "CHttpDownload::StallMonitor") << "transfer stalled (" << why << "); connections closed";
}

void CHttpDownload::RunSegments(Segment (&segments)[4]) {
    m_abortSegments.store(false);
    m_writeFailed.store(false);
    m_receivedBytes.store(0);
    {
        std::lock_guard<std::mutex> lock(m_monitorMutex);
        m_segmentsDone = false;
    }
    std::thread threads[4];
    std::thread monitor;
    const auto endAll = [&] {
        for (auto& thread : threads) {
            if (thread.joinable()) thread.join();
        }
        {
            std::lock_guard<std::mutex> lock(m_monitorMutex);
            m_segmentsDone = true;
            m_monitorWake.notify_all();
        }
        if (monitor.joinable()) monitor.join();
        std::lock_guard<std::mutex> lock(progressMutex);
        chunkCounter = 0;
    };
    try {
        // A thread that cannot be created leaves its part file missing or short; the join and
        // the checks then fail the attempt.
        for (int i = 0; i < 4; ++i) {
            try {
                threads[i] = std::thread(&CHttpDownload::DownloadSegment, this, &segments[i]);
            } catch (const std::system_error&) {
            }
        }
        try {
            monitor = std::thread(&CHttpDownload::StallMonitor, this);
        } catch (const std::system_error&) {
        }
    } catch (...) {
        m_abortSegments.store(true);   // no memory: the running ones end before the error leaves
        endAll();
        throw;
    }
    endAll();
}

int CHttpDownload::JoinAndVerify(Segment (&segments)[4], DownloadInfo* info, const fs::path& folder) {
    const fs::path filePath = folder / "update.td";
    std::FILE* out = OpenFile(filePath, "wb");
    if (!out) {
        LOG_STREAM_FN(rklog::kWarn, "CHttpDownload::JoinAndVerify") << "cannot create " << PathText(filePath) << ": " << LastErrorText();
        RemoveParts(folder);
        return kCreateFailed;
    }
    PartJoiner join(out, m_stop);
    for (auto& segment : segments) {
        if (join.Stopped()) break;
        if (!join.Merge(segment.partFile, segment.start, segment.end)) {
            RemoveParts(folder);
            join.Finish();
            join.CloseOut();
            RemoveFile(filePath);
            return kPartOpenFailed;
        }
    }
    join.Finish();
    if (!join.CloseOut()) join.SetWriteFailed();
    const auto discard = [&](int result) {
        RemoveFile(filePath);
        std::lock_guard<std::mutex> lock(progressMutex);
        info->downloadedBytes = 0;
        return result;
    };
    // Stopped (the program is ending): what is not joined yet stays for the next run.
    if (join.Stopped()) return discard(kProbeFailed);
    // A failed write leaves a file that cannot be trusted, whatever its length.
    if (join.WriteFailed()) return discard(kCreateFailed);

    std::int64_t expectedLength = 0;
    std::string expectedMd5;
    {
        std::lock_guard<std::mutex> lock(progressMutex);
        expectedLength = info->totalBytes;
        expectedMd5 = info->md5;
    }
    const std::int64_t length = static_cast<std::int64_t>(GetFileSize(filePath));
    if (length != expectedLength) return discard(kLengthMismatch);
    unsigned char digest[16];
    if (!join.Digest(static_cast<std::uint64_t>(length), digest)) return discard(kProbeFailed);
    if (!EqualsIgnoreAsciiCase(expectedMd5, DigestHex(digest))) return discard(kDigestMismatch);

    return PutInPlace(folder);
}

// A package that cannot be put in place is a failure, not a success; being verified, it stays
// as "update.td" for the next attempt, which takes it without downloading it again.
int CHttpDownload::PutInPlace(const fs::path& folder) {
    const fs::path filePath = folder / "update.td";
    const MoveResult moved = MoveIntoPlace(filePath, folder / "update.zip", m_timings.holdGiveUpMs,
                                           [this] { return m_stop.load(); });
    if (moved == MoveResult::kMoved) return kDownloadOk;
    LOG_STREAM_FN(rklog::kWarn, "CHttpDownload::PutInPlace")
        << "the verified " << PathText(filePath) << " could not be put in place as update.zip"
        << (moved == MoveResult::kHeld ? " (held by another program)" : "") << "; kept for the next attempt";
    return kCreateFailed;
}

// An "update.td" left by an attempt whose package could not be put in place: taken when its
// digest is the expected one, else deleted (a join that was cut short leaves none).
bool CHttpDownload::TakeVerifiedPackage(DownloadInfo* info, const fs::path& folder) {
    const fs::path filePath = folder / "update.td";
    const std::uint64_t length = FileSize(filePath);
    if (length == 0) return false;
    std::string expectedMd5;
    {
        std::lock_guard<std::mutex> lock(progressMutex);
        expectedMd5 = info->md5;
    }
    std::FILE* in = OpenFile(filePath, "rb");
    if (!in) return false;
    MD5_CTX md5;
    std::vector<unsigned char> chunk(256 * 1024);
    std::size_t n = 0;
    while (!m_stop.load() && (n = std::fread(chunk.data(), 1, chunk.size(), in)) > 0) {
        md5.Update(chunk.data(), static_cast<std::uint32_t>(n));
    }
    const bool read = !m_stop.load() && std::ferror(in) == 0;
    std::fclose(in);
    unsigned char digest[16];
    md5.Final(digest);
    if (!read) return false;
    if (!EqualsIgnoreAsciiCase(expectedMd5, DigestHex(digest))) {
        RemoveFile(filePath);
        return false;
    }
    if (PutInPlace(folder) != kDownloadOk) return false;
    std::lock_guard<std::mutex> lock(progressMutex);
    info->totalBytes = static_cast<std::int64_t>(length);
    info->downloadedBytes = static_cast<std::int64_t>(length);
    return true;
}

int CHttpDownload::Download(UrlScheme& scheme, std::string& host, std::string& path, DownloadInfo* info,
                            const fs::path& folder) {
    m_timings = settings::downloadTimings.Get();
    {
        std::lock_guard<std::mutex> lock(progressMutex);
        info->filePath = PathText(folder / "update.td");
        // Each attempt counts from the bytes resumed for it, so progress never passes the length.
        info->downloadedBytes = 0;
    }
    if (TakeVerifiedPackage(info, folder)) return kDownloadOk;
    if (m_stop.load()) return kProbeFailed;
    const std::int64_t length = ProbeLength(scheme, host, path, info, folder);
    if (length <= 0) return length == kProbeRedirect ? kRedirected : kProbeFailed;
    if (m_stop.load()) return kProbeFailed;

    Segment segments[4];
    for (int i = 0; i < 4; ++i) {
        Segment& s = segments[i];
        s.scheme = scheme;
        s.host = host;
        s.path = path;
        SegmentRange(static_cast<std::uint32_t>(length), i, s.start, s.end);
        s.partFile = PartFile(folder, i);
        s.info = info;
        s.folder = folder;
    }
    RunSegments(segments);
    // Stopped from outside (the program is ending): the part files stay for the next run.
    if (m_stop.load()) return kProbeFailed;
    // A part file could not be written: the attempt ends here; what the part files hold is
    // resumed by the next attempt.
    if (m_writeFailed.load()) return kCreateFailed;
    return JoinAndVerify(segments, info, folder);
}
