// One download attempt of the update package: a length probe, four byte ranges on four
// parallel connections into part files, a stall monitor, the join, the length and digest
// checks and the rename to "update.zip".
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "download/timings.h"

class MD5_CTX;

// Progress record of a download, owned by the task. Counters change under the owning
// CHttpDownload's progressMutex.
struct DownloadInfo {
    std::string filePath;             // folder + "update.td" once an attempt started
    std::string md5;                  // expected digest
    std::int64_t downloadedBytes = 0; // resumed bytes included
    std::int64_t totalBytes = 0;      // 0 until the probe gave the length
};

// Results of Download.
enum DownloadResult : int {
    kDownloadOk = 1,
    kProbeFailed = -1,
    kCreateFailed = -2,     // "update.td" could not be created (or the package not put in place)
    kPartOpenFailed = -3,
    kLengthMismatch = -4,
    kDigestMismatch = -5,
    kRedirected = -6,
};

// Probe result that means "redirected; host and path now hold the new target".
constexpr std::int64_t kProbeRedirect = -302;

class CHttpDownload {
public:
    CHttpDownload() = default;
    virtual ~CHttpDownload();
    CHttpDownload(const CHttpDownload&) = delete;
    CHttpDownload& operator=(const CHttpDownload&) = delete;

    // One attempt; folder is the program's folder with its trailing separator. Returns a
    // DownloadResult. After a stop request it returns promptly and keeps the part files.
    int Download(std::string& host, std::string& path, DownloadInfo* info, const std::string& folder);

    // Length of the resource (> 0), 0 on failure, kProbeRedirect after a redirect (host and
    // path replaced). Stores the length in info->totalBytes.
    std::int64_t ProbeLength(std::string& path, std::string& host, DownloadInfo* info,
                             const std::string& folder);

    // From any thread: ends the running attempt's waits at once and every later attempt.
    void RequestStop();
    bool StopRequested() const { return stop_.load(); }

    // Copy of info consistent with the transfer threads' updates.
    DownloadInfo Snapshot(const DownloadInfo& info) const;

    mutable std::mutex progressMutex;

    // Size of a file, 0 when it cannot be opened.
    static std::uint64_t GetFileSize(const std::string& path);

private:
    struct Segment {
        std::string host;
        std::uint32_t start = 0;
        std::uint32_t end = 0;
        std::uint32_t written = 0;
        std::string path;
        std::string partFile;
        DownloadInfo* info = nullptr;
        std::string folder;
    };
    struct JoinState;

    void DownloadSegment(Segment* segment);
    void StallMonitor();
    bool AppendChunk(Segment& segment, const char* data, std::size_t size,
                     std::uint64_t resumed, std::FILE*& stream);
    bool MergeSegment(const Segment& segment, JoinState& join);
    int JoinAndVerify(Segment (&segments)[4], DownloadInfo* info, const std::string& folder);

    std::atomic<bool> stop_{false};
    std::atomic<bool> abortSegments_{false};   // set by the stall monitor
    std::int32_t chunkCounter_ = 0;            // under progressMutex

    std::mutex monitorMutex_;
    std::condition_variable monitorWake_;
    bool segmentsDone_ = false;                // under monitorMutex_
    DownloadTimings timings_;                  // of the running attempt
};

// Segment i of 4 for a resource of the given length: [start, end).
void SegmentRange(std::uint32_t length, int index, std::uint32_t& start, std::uint32_t& end);
