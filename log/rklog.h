// Leveled log statements with a fixed line header, delivered to the debugger output (and to a
// log file when one is switched on, log/log_file.h).
#pragma once

#include <any>
#include <cstdint>
#include <ctime>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

namespace rklog {

// Plain integers; names avoid the platform headers' ERROR macro.
enum Level { kTrace = 0, kDebug = 1, kInfo = 2, kWarn = 3, kError = 4, kFatal = 5 };

const char* LevelName(int level);   // "TRACE" .. "FATAL", "OTHER"
char LevelLetter(int level);        // 'T' .. 'F', 'O'

extern std::string logTag;          // "ZPV"

namespace helpers {
// A stream buffer whose put area is a caller-owned fixed array; writes past the end fail.
class fixed_streambuf : public std::streambuf {
public:
    fixed_streambuf(char* begin, std::size_t size) { setp(begin, begin + size); }
    char* base() const { return pbase(); }
    char* current() const { return pptr(); }
    char* limit() const { return epptr(); }
    void backup(int n) { pbump(-n); }
};
}  // namespace helpers

struct LogData {
    static constexpr std::size_t kBufferSize = 20000;

    LogData();
    virtual ~LogData() = default;
    LogData(const LogData&) = delete;
    LogData& operator=(const LogData&) = delete;

    std::size_t length() const { return static_cast<std::size_t>(buf.current() - buf.base()); }
    const char* text() const { return buffer; }

    helpers::fixed_streambuf buf;
    char buffer[kBufferSize];
    std::uint32_t terminator = 0;   // room for a NUL one past a full buffer
    std::ostream stream;
    int headerLength = 0;
    int level = 0;
    unsigned sourceLine = 0;
    const char* sourcePath = "";
    const char* sourceFile = "";
    std::int64_t timestamp = 0;
    std::tm utcTime{};
};

class BaseLogger {
public:
    // True: the sink is done with the record and the message may free it.
    virtual bool deliver(LogData* data) = 0;
    virtual ~BaseLogger() = default;
};

class FilteringLogger : public BaseLogger {
public:
    FilteringLogger(int threshold, BaseLogger* forwardTo, bool ownsForward)
        : threshold(threshold), forwardTo(forwardTo), ownsForward(ownsForward) {}
    ~FilteringLogger() override { if (ownsForward) delete forwardTo; }
    bool deliver(LogData* data) override;

    int threshold;
    BaseLogger* forwardTo;
    bool ownsForward;
};

class RkFilteringLogger : public FilteringLogger {
public:
    using FilteringLogger::FilteringLogger;
};

class RkDbgLogger : public RkFilteringLogger {
public:
    RkDbgLogger();
};

class OstreamLogger : public BaseLogger {
public:
    explicit OstreamLogger(std::ostream* target) : target(target) {}
    bool deliver(LogData* data) override;
protected:
    std::ostream* target;
};

// A sink kind that only exists as a type for the dispatch of RkLogger.
class RkStdLogger : public BaseLogger {};
class RkFileLogger;   // the log file (log/log_file.h), present when support switched it on

class OutputDebugStringLogger;

class RkLogger : public BaseLogger {
public:
    explicit RkLogger(const char* fileName);
    ~RkLogger() override;
    bool deliver(LogData* data) override;

    RkStdLogger* stdSink = nullptr;
    RkDbgLogger* dbgSink = nullptr;
    RkFileLogger* fileSink = nullptr;
    bool stdEnabled = true;
    bool dbgEnabled = true;
    bool fileEnabled = false;
    std::vector<std::any> sinks;
};

RkLogger& processLogger();

class LogMessage {
public:
    LogMessage(const char* file, unsigned line, int level, BaseLogger* logger);
    virtual ~LogMessage();
    virtual void writeHeader();
    LogMessage(const LogMessage&) = delete;
    LogMessage& operator=(const LogMessage&) = delete;

    std::ostream& stream() { return m_data->stream; }
    void flush();

protected:
    BaseLogger* m_logger;
    bool flushed = false;
    bool deleteData = false;
    LogData* m_data;
};

}  // namespace rklog

namespace n_log {

class CustomLogMessage : public rklog::LogMessage {
public:
    CustomLogMessage(const char* file, unsigned line, int level, const char* functionName,
                     rklog::BaseLogger* logger)
        : LogMessage(file, line, level, logger), functionName(functionName) {}
    void writeHeader() override;

    const char* functionName;
};

// Builds the statement: header written, stream returned; delivery happens at the end of the
// full expression, when the temporary is destroyed.
inline std::ostream& Begin(CustomLogMessage&& msg) {
    msg.writeHeader();
    return msg.stream();
}

}  // namespace n_log

#define LOG_STREAM_FN(level, fn) \
    ::n_log::Begin(::n_log::CustomLogMessage(__FILE__, __LINE__, (level), (fn), &::rklog::processLogger()))
#define LOG_STREAM(level) LOG_STREAM_FN(level, __func__)

// The debugger output stream: a 256-byte put area handed to the platform's debug output.
template <class Ch>
class OutputDebugStringBuf : public std::basic_stringbuf<Ch> {
public:
    static constexpr std::size_t kSize = 256;
    OutputDebugStringBuf() : m_buffer() { this->setp(m_buffer, m_buffer + kSize); }
protected:
    int sync() override;
    typename std::basic_stringbuf<Ch>::int_type overflow(typename std::basic_stringbuf<Ch>::int_type c) override;
private:
    Ch m_buffer[kSize];
};

template <class Ch>
class outputdebug_buf : public OutputDebugStringBuf<Ch> {};

template <class Ch>
class outputdebug_stream : public std::basic_ostream<Ch> {
public:
    outputdebug_stream() : std::basic_ostream<Ch>(new outputdebug_buf<Ch>()) {}
    ~outputdebug_stream() override { delete this->rdbuf(); }
};

namespace rklog {
class OutputDebugStringLogger : public OstreamLogger {
public:
    OutputDebugStringLogger() : OstreamLogger(&m_stream) {}
    bool deliver(LogData* data) override;
private:
    outputdebug_stream<char> m_stream;
};

// The platform's debugger output (OutputDebugStringA on Windows). Tests may replace it.
// Seconds since 1970-01-01 UTC as the calendar's UTC fields; never through time_t, which is
// 32 bits wide in the 32-bit Windows build.
void UtcFromSeconds(std::int64_t seconds, std::tm& utc);

using DebugOutputFn = void (*)(const char* text);
void SetDebugOutput(DebugOutputFn fn);   // nullptr restores the platform's
void PlatformDebugOutput(const char* text);
}  // namespace rklog
