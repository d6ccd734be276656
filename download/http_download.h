// One download attempt of the update package: a length probe, four byte ranges on four
// parallel connections into part files, a stall monitor, the join, the length and digest
// checks and the rename to "update.zip".
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>

#include "app/core/url_scheme.h"
#include "download/timings.h"
#include "http/transport.h"

// Progress record of a download, owned by the task. Counters change under the owning
// CHttpDownload's progressMutex.
struct DownloadInfo {
    std::string filePath;             // folder + "update.td" once an attempt started (for messages)
    std::string md5;                  // expected digest
    std::int64_t downloadedBytes = 0; // of the current attempt, its resumed bytes included
    std::int64_t totalBytes = 0;      // 0 until the probe gave the length
};

// Results of Download.
enum DownloadResult : int {
    kDownloadOk = 1,
    kProbeFailed = -1,
    kCreateFailed = -2,     // a file could not be written: a part file, "update.td", or "update.zip" put in place
    kPartOpenFailed = -3,
    kLengthMismatch = -4,
    kDigestMismatch = -5,
    kRedirected = -6,
};
// What a result means, for messages.
const char* DownloadResultText(int result);

// Why an attempt failed, by kind, for the owner's messages (the fetch tool's exit status).
enum class AttemptCause {
    kNone = 0,      // succeeded, redirected, or no attempt ended yet
    kNameLookup,    // the server's name could not be looked up
    kConnect,       // no connection, or no TLS session, could be made
    kCertificate,   // the server's certificate was refused
    kHttpStatus,    // the server answered with a status other than 200 and 206
    kResponse,      // no usable answer: not HTTP, an oversized header, a redirect not followed
    kTransfer,      // the transfer broke off: the server went silent, closed, reset, stalled or trickled
    kLength,        // no usable length, or the joined file's length differs from it
    kDigest,        // the joined file's MD5 differs from the expected digest
    kLocalWrite,    // a part file, "update.td" or "update.zip" could not be written
    kStopped,       // the owner asked to stop
    kOther,         // anything else (no memory, ...)
};
// Short name of a cause: "name lookup", "HTTP status", ...
const char* AttemptCauseName(AttemptCause cause);

struct AttemptFailure {
    AttemptCause cause = AttemptCause::kNone;
    std::string text;   // one line naming what failed and the server's or the system's reason
};

// Probe result that means "redirected; host and path now hold the new target".
constexpr std::int64_t kProbeRedirect = -302;

class CHttpDownload {
public:
    CHttpDownload() = default;
    virtual ~CHttpDownload();
    CHttpDownload(const CHttpDownload&) = delete;
    CHttpDownload& operator=(const CHttpDownload&) = delete;

    // One attempt; folder is the program's folder. Returns a DownloadResult. After a stop
    // request it returns promptly (within a second, whatever it waits for) and keeps the part
    // files that are not joined yet. A redirect (kRedirected) replaces scheme, host and path.
    int Download(UrlScheme& scheme, std::string& host, std::string& path, DownloadInfo* info,
                 const std::filesystem::path& folder);

    // Length of the resource (> 0), 0 on failure, kProbeRedirect after a redirect (scheme, host
    // and path replaced). Stores the length in info->totalBytes.
    std::int64_t ProbeLength(UrlScheme& scheme, std::string& host, std::string& path, DownloadInfo* info,
                             const std::filesystem::path& folder);

    // Why the latest attempt failed: the first fault of the attempt that explains its result
    // (a stall rather than the short file it left), kNone after a success or a redirect.
    // From any thread.
    AttemptFailure LastFailure() const;

    // From any thread: ends the running attempt's waits at once and every later attempt.
    void RequestStop();
    bool StopRequested() const { return m_stop.load(); }

    // Copy of info consistent with the transfer threads' updates.
    DownloadInfo Snapshot(const DownloadInfo& info) const;

    mutable std::mutex progressMutex;

    // Size of a file, 0 when it cannot be read.
    static std::uint64_t GetFileSize(const std::filesystem::path& path);

private:
    struct Segment {
        UrlScheme scheme = UrlScheme::kHttp;
        std::string host;
        std::uint32_t start = 0;
        std::uint32_t end = 0;
        std::uint32_t written = 0;
        std::uint32_t length = 0;     // of the whole resource
        std::string path;
        std::filesystem::path partFile;
        DownloadInfo* info = nullptr;
        std::filesystem::path folder;
    };

    int Attempt(UrlScheme& scheme, std::string& host, std::string& path, DownloadInfo* info,
                const std::filesystem::path& folder);
    void RunSegments(Segment* segments, int count);
    void DownloadSegment(Segment* segment);
    void ReceiveSegment(Segment& segment, std::FILE*& stream);
    bool TakeChunk(Segment& segment, const char* data, std::size_t size, std::uint64_t resumed, std::FILE*& stream,
                   std::uint64_t& held);
    bool AppendChunk(Segment& segment, const char* data, std::size_t size, std::uint64_t resumed,
                     std::FILE*& stream, std::size_t& stored);
    std::int64_t TakeRedirect(const std::string& location, UrlScheme& scheme, std::string& host, std::string& path);
    void StallMonitor();
    int JoinAndVerify(Segment* segments, int count, DownloadInfo* info, const std::filesystem::path& folder);
    int PutInPlace(const std::filesystem::path& folder);
    bool TakeVerifiedPackage(DownloadInfo* info, const std::filesystem::path& folder);
    // Records why the attempt fails: the first fault wins, unless decisive (a fault that ends
    // the attempt by itself, such as a file that cannot be written).
    void NoteFailure(AttemptCause cause, const std::string& text, bool decisive = false);
    void NoteException(const std::exception& e);
    std::int32_t Chunks() const;

    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_abortSegments{false};       // stall, low speed, or a part file not written
    std::atomic<bool> m_writeFailed{false};         // a part file could not be written
    std::atomic<std::uint64_t> m_receivedBytes{0};  // by the segments of the running attempt
    std::int32_t chunkCounter = 0;                  // under progressMutex
    // The server answers a range with the whole file; kept for the later attempts of the task
    // (a redirect forgets it), so that they use one connection from the start.
    std::atomic<bool> m_noRanges{false};

    mutable std::mutex m_failureMutex;
    AttemptFailure m_failure;                       // of the running or latest attempt

    std::mutex m_monitorMutex;
    std::condition_variable m_monitorWake;
    bool m_segmentsDone = false;                    // under m_monitorMutex
    DownloadTimings m_timings;                      // of the running attempt
    TlsContextCache m_tls;                          // one TLS configuration for every connection
};

// Segment i of 4 for a resource of the given length: [start, end).
void SegmentRange(std::uint32_t length, int index, std::uint32_t& start, std::uint32_t& end);
