// The log file support can switch on: every line the process logger hands to the debugger output
// is also appended to one file, which is kept to a bounded size by dropping its oldest runs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "log/rklog.h"

namespace rklog {

// The text of the line that opens a run and of the line that ends it, right after the header.
// A file is only ever cut where a line's text begins with kRunBeginsMark.
extern const char kRunBeginsMark[];   // "run begins: "
extern const char kRunEndsMark[];     // "run ends: "

class RkFileLogger : public BaseLogger {
public:
    static constexpr std::uintmax_t kDefaultLimit = 256 * 1024;
    // Room kept free for a run's last line, so that a run filling the file still names its end.
    static constexpr std::uintmax_t kEndReserve = 2048;

    // Opens path for appending (making its folder when missing). Ok() is false when that fails;
    // the sink then takes lines and writes nothing.
    explicit RkFileLogger(const std::filesystem::path& path, std::uintmax_t limit = kDefaultLimit);
    bool Ok() const;

    // Appends the line and answers true: the record stays the message's.
    bool deliver(LogData* data) override;

private:
    void Append(const char* line, std::size_t n, bool begins, bool ends);
    // Removes the file's oldest runs so that `incoming` more bytes fit within budget. Cuts only at
    // the start of a run that is not after keepFrom (allOut: everything may go); false when no
    // such cut makes room.
    bool MakeRoom(std::uintmax_t incoming, std::uintmax_t budget, std::uintmax_t keepFrom, bool allOut);
    void Write(const char* text, std::size_t n);

    std::filesystem::path m_path;
    std::uintmax_t m_limit;
    std::mutex m_mutex;
    std::ofstream m_out;
    bool m_ok = false;
    std::uintmax_t m_size = 0;       // bytes in the file
    std::uintmax_t m_runStart = 0;   // where the running run's first line starts
    std::uint64_t m_dropped = 0;     // lines of this run left out because it alone fills the file
};

// Adds a file sink to the process logger. Call before other threads log; false (and nothing
// changed) when the file cannot be written.
bool EnableLogFile(const std::filesystem::path& path, std::uintmax_t limit = RkFileLogger::kDefaultLimit);
// Removes it again (tests); same threading rule.
void DisableLogFile();
bool LogFileEnabled();

// The lines that open and end a run: written to the log file only, so that the debugger output
// stays what it was. Nothing happens while no file is enabled.
void LogRunBegins(const std::string& text);
void LogRunEnds(int level, const std::string& text);

}  // namespace rklog
