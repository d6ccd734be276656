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

bool IsHttpStatusLine(const ResponseHeader& header) { return header.protocolVersion.compare(0, 5, "HTTP/") == 0; }

fs::path PartFile(const fs::path& folder, int index) { return folder / ("update.td" + std::to_string(index)); }

void RemoveParts(const fs::path& folder, int from = 0) {
    for (int i = from; i < 4; ++i) RemoveFile(PartFile(folder, i));
}

// An operation the engine aborted itself (stall, low speed, a part file not written): its
// reason is told once already.
bool IsOwnAbort(const std::exception& e, bool abortRaised) {
    const auto* error = dynamic_cast<const boost::system::system_error*>(&e);
    return abortRaised && error && error->code() == boost::asio::error::operation_aborted;
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

const char* AttemptCauseName(AttemptCause cause) {
    switch (cause) {
        case AttemptCause::kNone: return "none";
        case AttemptCause::kNameLookup: return "name lookup";
        case AttemptCause::kConnect: return "connect";
        case AttemptCause::kCertificate: return "certificate";
        case AttemptCause::kHttpStatus: return "HTTP status";
        case AttemptCause::kResponse: return "bad response";
        case AttemptCause::kTransfer: return "transfer";
        case AttemptCause::kLength: return "length";
        case AttemptCause::kDigest: return "digest";
        case AttemptCause::kLocalWrite: return "local file write";
        case AttemptCause::kStopped: return "stopped";
        case AttemptCause::kOther: break;
    }
    return "other";
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

AttemptFailure CHttpDownload::LastFailure() const {
    std::lock_guard<std::mutex> lock(m_failureMutex);
    return m_failure;
}

void CHttpDownload::NoteFailure(AttemptCause cause, const std::string& text, bool decisive) {
    try {
        std::lock_guard<std::mutex> lock(m_failureMutex);
        if (m_failure.cause != AttemptCause::kNone && !decisive) return;
        m_failure.cause = cause;
        m_failure.text = EscapeControls(text);
    } catch (...) {
        // No memory for the text: the result code still tells the owner.
    }
}

void CHttpDownload::NoteException(const std::exception& e) {
    AttemptCause cause = AttemptCause::kOther;
    if (const auto* connect = dynamic_cast<const ConnectError*>(&e)) {
        switch (connect->GetStage()) {
            case ConnectError::kLookup: cause = AttemptCause::kNameLookup; break;
            case ConnectError::kCertificate: cause = AttemptCause::kCertificate; break;
            case ConnectError::kConnect:
            case ConnectError::kTls: cause = AttemptCause::kConnect; break;
        }
    } else if (const auto* error = dynamic_cast<const boost::system::system_error*>(&e)) {
        cause = error->code() == boost::asio::error::message_size ? AttemptCause::kResponse : AttemptCause::kTransfer;
    }
    NoteFailure(cause, e.what());
}

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
                const boost::system::system_error error(ec, "response header");
                HttpSay(std::string(" exception = ") + error.what() + "\n");
                NoteException(error);
            } else {
                NoteFailure(AttemptCause::kTransfer, "the connection ended before a complete response header");
            }
            std::lock_guard<std::mutex> lock(progressMutex);
            info->totalBytes = 0;
            return 0;
        }
        ResponseHeader header;
        if (!ParseResponseHeader(header, text, headerEnd, folder)) {
            if (!IsHttpStatusLine(header)) {
                NoteFailure(AttemptCause::kResponse, "invalid response (no HTTP status line)");
            } else if (header.statusCode >= 300 && header.statusCode <= 399) {
                return TakeRedirect(header.location, scheme, host, path);
            } else {
                NoteFailure(AttemptCause::kHttpStatus, "HTTP status " + std::to_string(header.statusCode));
            }
            return 0;
        }
        if (header.totalLength < 0) {
            HttpSay(" exception = resource length out of range\n");
            NoteFailure(AttemptCause::kLength, "resource length out of range");
            return 0;
        }
        if (header.totalLength == 0) NoteFailure(AttemptCause::kLength, "the server's answer gives no length");
        std::lock_guard<std::mutex> lock(progressMutex);
        info->totalBytes = header.totalLength;
        return header.totalLength;
    } catch (const std::exception& e) {
        if (!m_stop.load()) HttpSay(std::string(" exception = ") + e.what() + "\n");
        NoteException(e);
        return 0;
    }
}

std::int64_t CHttpDownload::TakeRedirect(const std::string& location, UrlScheme& scheme, std::string& host,
                                         std::string& path) {
    std::string reason;
    switch (ApplyRedirect(location, scheme, host, path, reason)) {
        case Redirect::kTaken:
            HttpInform(std::string("redirected to ") + SchemePrefix(scheme) + EscapeControls(host + path) + "\n");
            return kProbeRedirect;
        case Redirect::kWithoutPath:
            reason = "redirect target without a path";
            break;
        case Redirect::kRefused:
            break;
    }
    HttpSay(" exception = " + reason + ": " + EscapeControls(location) + "\n");
    NoteFailure(AttemptCause::kResponse, reason + ": " + location);
    return 0;
}

bool CHttpDownload::AppendChunk(Segment& segment, const char* data, std::size_t size, std::uint64_t resumed,
                                std::FILE*& stream, std::size_t& stored) {
    stored = 0;
    if (!stream) {
        stream = OpenFile(segment.partFile, "ab");
        if (!stream) {
            const std::string why = "cannot open " + PathText(segment.partFile) + ": " + LastErrorText();
            HttpSay(" exception = " + why + "\n");
            NoteFailure(AttemptCause::kLocalWrite, why, true);
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
        const std::string why = "cannot write " + PathText(segment.partFile) + ": " + LastErrorText();
        HttpSay(" exception = " + why + "\n");
        NoteFailure(AttemptCause::kLocalWrite, why, true);
        return false;
    }
    return true;
}

// Writes a chunk and counts what reached the file. A part file that cannot be written ends
// the whole attempt at once: going on would only count bytes that are not kept.
bool CHttpDownload::TakeChunk(Segment& segment, const char* data, std::size_t size, std::uint64_t resumed,
                              std::FILE*& stream, std::uint64_t& held) {
    std::size_t stored = 0;
    const bool ok = AppendChunk(segment, data, size, resumed, stream, stored);
    held += stored;
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
    const std::uint64_t from = std::uint64_t{segment.start} + resumed;
    const std::string request = BuildRequest(segment.path, segment.host, from);
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
    if (!ParseResponseHeader(header, text, headerEnd, segment.folder)) {
        if (!IsHttpStatusLine(header)) {
            NoteFailure(AttemptCause::kResponse, "invalid response (no HTTP status line)");
        } else if (header.statusCode != 416) {   // 416: the part file covers its range already
            if (header.statusCode >= 300 && header.statusCode <= 399) {
                HttpSay("Response returned with status code " + std::to_string(header.statusCode) + "\n");
            }
            NoteFailure(AttemptCause::kHttpStatus, "HTTP status " + std::to_string(header.statusCode));
        }
        return;
    }
    std::uint64_t skip = 0;   // bytes of the answer before the first one asked for
    if (header.statusCode == 200 && from > 0) {
        // The whole file for a range that does not start at 0: the server does not do
        // ranges. Segment 0 fetches it all, over its own connection, from the file's start.
        if (!m_noRanges.exchange(true)) {
            HttpSay("the server does not do byte ranges (it answered a range with the whole file): "
                    "fetching the whole file over one connection\n");
        }
        if (segment.start > 0) return;
        skip = resumed;
    }
    // Nothing past the end of the range is kept or counted: the server's bytes beyond it
    // belong to the next segment (or to nobody). Without ranges segment 0 takes the whole file.
    const auto end = [&]() -> std::uint64_t {
        return segment.start == 0 && m_noRanges.load() ? segment.length : limit;
    };
    std::uint64_t held = resumed;   // bytes from the segment's start in the part file
    bool past = false;              // bytes beyond the range were read and dropped
    const auto take = [&](const char* data, std::size_t size) {
        const std::size_t dropped = static_cast<std::size_t>(std::min<std::uint64_t>(skip, size));
        skip -= dropped;
        const std::uint64_t room = end() > held ? end() - held : 0;
        const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(size - dropped, room));
        past = keep < size - dropped;
        return TakeChunk(segment, data + dropped, keep, resumed, stream, held);
    };
    // Once bytes past the range were dropped, the stream cannot go on where the part file
    // ends: without ranges, the rest then comes over a connection of its own.
    if (!take(text.data(), text.size()) || past) return;
    while (held < end()) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kSegmentReadSize, skip + end() - held));
        const std::size_t n = conn.ReadSome(buffer.get(), want, ec);
        if (n == 0) {
            if (ec && !IsEndOfStream(ec)) throw boost::system::system_error(ec, "read");
            break;
        }
        if (!take(buffer.get(), n) || past) return;
    }
}

void CHttpDownload::DownloadSegment(Segment* segment) {
    std::FILE* stream = nullptr;
    try {
        ReceiveSegment(*segment, stream);
    } catch (const std::exception& e) {
        // After the owner's stop request, or the engine's own abort, the aborted operations
        // are no news.
        if (!m_stop.load() && !IsOwnAbort(e, m_abortSegments.load())) {
            HttpSay(std::string("Exception: ") + e.what() + "\n");
            NoteException(e);
        }
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
    NoteFailure(AttemptCause::kTransfer, "transfer stalled (" + why + ")");
    m_abortSegments.store(true);
    LOG_STREAM_FN(rklog::kWarn, "CHttpDownload::StallMonitor") << "transfer stalled (" << why << "); connections closed";
}

void CHttpDownload::RunSegments(Segment* segments, int count) {
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
        for (int i = 0; i < count; ++i) {
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

int CHttpDownload::JoinAndVerify(Segment* segments, int count, DownloadInfo* info, const fs::path& folder) {
    const fs::path filePath = folder / "update.td";
    std::FILE* out = OpenFile(filePath, "wb");
    if (!out) {
        const std::string why = "cannot create " + PathText(filePath) + ": " + LastErrorText();
        LOG_STREAM_FN(rklog::kWarn, "CHttpDownload::JoinAndVerify") << why;
        NoteFailure(AttemptCause::kLocalWrite, why, true);
        RemoveParts(folder);
        return kCreateFailed;
    }
    PartJoiner join(out, m_stop);
    for (int i = 0; i < count; ++i) {
        if (join.Stopped()) break;
        if (!join.Merge(segments[i].partFile, segments[i].start, segments[i].end)) {
            NoteFailure(AttemptCause::kTransfer, "no data arrived for part " + std::to_string(i));
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
    if (join.WriteFailed()) {
        NoteFailure(AttemptCause::kLocalWrite, "cannot write " + PathText(filePath), true);
        return discard(kCreateFailed);
    }

    std::int64_t expectedLength = 0;
    std::string expectedMd5;
    {
        std::lock_guard<std::mutex> lock(progressMutex);
        expectedLength = info->totalBytes;
        expectedMd5 = info->md5;
    }
    const std::int64_t length = static_cast<std::int64_t>(GetFileSize(filePath));
    if (length != expectedLength) {
        // A transfer that broke off says more than the short file it left.
        NoteFailure(AttemptCause::kLength, "the joined file holds " + std::to_string(length) + " bytes, the server announced " +
                                               std::to_string(expectedLength));
        return discard(kLengthMismatch);
    }
    unsigned char digest[16];
    if (!join.Digest(static_cast<std::uint64_t>(length), digest)) return discard(kProbeFailed);
    const std::string received = DigestHex(digest);
    if (!EqualsIgnoreAsciiCase(expectedMd5, received)) {
        // Both digests, so that a wrong expected digest can be told from a damaged transfer.
        const std::string why = "MD5 digest " + received + " received, " + EscapeControls(expectedMd5) + " expected";
        HttpSay(why + "\n");
        NoteFailure(AttemptCause::kDigest, why, true);
        return discard(kDigestMismatch);
    }

    return PutInPlace(folder);
}

// A package that cannot be put in place is a failure, not a success; being verified, it stays
// as "update.td" for the next attempt, which takes it without downloading it again.
int CHttpDownload::PutInPlace(const fs::path& folder) {
    const fs::path filePath = folder / "update.td";
    const MoveResult moved = MoveIntoPlace(filePath, folder / "update.zip", m_timings.holdGiveUpMs,
                                           [this] { return m_stop.load(); });
    if (moved == MoveResult::kMoved) return kDownloadOk;
    NoteFailure(AttemptCause::kLocalWrite,
                "the verified " + PathText(filePath) + " could not be put in place as update.zip" +
                    (moved == MoveResult::kHeld ? " (held by another program)" : "") + "; kept for the next attempt",
                true);
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
    {
        std::lock_guard<std::mutex> lock(m_failureMutex);
        m_failure = AttemptFailure();
    }
    const int result = Attempt(scheme, host, path, info, folder);
    if (result == kRedirected) m_noRanges.store(false);   // another server, perhaps
    if (result == kDownloadOk || result == kRedirected) {
        std::lock_guard<std::mutex> lock(m_failureMutex);
        m_failure = AttemptFailure();
    } else if (m_stop.load()) {
        NoteFailure(AttemptCause::kStopped, "stopped", true);
    } else {
        NoteFailure(result == kCreateFailed ? AttemptCause::kLocalWrite : AttemptCause::kOther, DownloadResultText(result));
    }
    return result;
}

int CHttpDownload::Attempt(UrlScheme& scheme, std::string& host, std::string& path, DownloadInfo* info,
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
        s.length = static_cast<std::uint32_t>(length);
        s.partFile = PartFile(folder, i);
        s.info = info;
        s.folder = folder;
    }
    Segment& whole = segments[0];
    const bool rangesKnownMissing = m_noRanges.load();
    if (rangesKnownMissing) whole.end = whole.length;   // one connection from the start
    RunSegments(segments, rangesKnownMissing ? 1 : 4);
    // Stopped from outside (the program is ending): the part files stay for the next run.
    if (m_stop.load()) return kProbeFailed;
    // A part file could not be written: the attempt ends here; what the part files hold is
    // resumed by the next attempt.
    if (m_writeFailed.load()) return kCreateFailed;
    if (!m_noRanges.load()) return JoinAndVerify(segments, 4, info, folder);

    // Without ranges the other parts are of no use; segment 0 went on past its range. When
    // it ended first (the others' answers came late), one more connection fetches the rest:
    // the answer starts at the file's first byte again, and what the part holds is skipped.
    RemoveParts(folder, 1);
    whole.end = whole.length;
    if (!rangesKnownMissing && !m_abortSegments.load() && GetFileSize(whole.partFile) < whole.length) {
        {
            std::lock_guard<std::mutex> lock(progressMutex);
            info->downloadedBytes = 0;   // the part's bytes are counted again as resumed
        }
        RunSegments(segments, 1);
        if (m_stop.load()) return kProbeFailed;
        if (m_writeFailed.load()) return kCreateFailed;
    }
    {
        std::lock_guard<std::mutex> lock(progressMutex);
        info->downloadedBytes = static_cast<std::int64_t>(std::min<std::uint64_t>(GetFileSize(whole.partFile), whole.length));
    }
    return JoinAndVerify(segments, 1, info, folder);
}
