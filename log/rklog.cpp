#include "log/rklog.h"

#include "log/log_file.h"

#include <chrono>
#include <cstring>
#include <mutex>

namespace rklog {

std::string logTag = "ZPV";

namespace {
const char* const kNames[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
const char kLetters[] = "TDIWEF";

DebugOutputFn g_debugOutput = nullptr;
}  // namespace

// The platform's parts (debug_output_*.cpp).
void SystemDebugOutput(const char* text);
std::int64_t SystemUnixSeconds();

namespace {

// Messages from several threads share the debugger stream's 256-byte buffer: one lock per
// message keeps each message's pieces together and in order.
std::mutex& DeliveryMutex() {
    static std::mutex m;
    return m;
}

const char* FileNameOf(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (slash) return slash + 1;
    const char* backslash = std::strrchr(path, '\\');
    return backslash ? backslash + 1 : path;
}
}  // namespace

const char* LevelName(int level) { return level >= 0 && level <= 5 ? kNames[level] : "OTHER"; }
char LevelLetter(int level) { return level >= 0 && level <= 5 ? kLetters[level] : 'O'; }

void UtcFromSeconds(std::int64_t seconds, std::tm& utc) {
    std::int64_t days = seconds / 86400, rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    utc = std::tm{};
    utc.tm_hour = static_cast<int>(rest / 3600);
    utc.tm_min = static_cast<int>(rest % 3600 / 60);
    utc.tm_sec = static_cast<int>(rest % 60);
    // Days to the proleptic Gregorian calendar, counted in 400-year eras from 0000-03-01.
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    const std::int64_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    utc.tm_mday = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    utc.tm_mon = static_cast<int>(month - 1);
    utc.tm_year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0) - 1900);
}

void SetDebugOutput(DebugOutputFn fn) { g_debugOutput = fn; }

LogData::LogData() : buf(buffer, kBufferSize), stream(&buf) {}

bool FilteringLogger::deliver(LogData* data) {
    if (data->level < threshold) return true;
    return forwardTo ? forwardTo->deliver(data) : false;
}

RkDbgLogger::RkDbgLogger() : RkFilteringLogger(kTrace, new OutputDebugStringLogger(), false) {}

bool OstreamLogger::deliver(LogData* data) {
    *data->buf.current() = '\0';   // the buffer has a spare word behind it
    target->write(data->buffer, static_cast<std::streamsize>(data->length()));
    target->flush();
    return true;
}

bool OutputDebugStringLogger::deliver(LogData* data) {
    std::lock_guard<std::mutex> lock(DeliveryMutex());
    return OstreamLogger::deliver(data);
}

// The file name is not used: a log file exists only when support switches one on, with its own
// name (EnableLogFile).
RkLogger::RkLogger(const char* /*fileName*/) {
    dbgSink = new RkDbgLogger();
    sinks.emplace_back(dbgSink);
}

RkLogger::~RkLogger() {
    // The list holds plain pointers; the sink this logger made goes with it. (The process
    // logger itself is never destroyed, so its sink outlives every statement.)
    if (dbgSink) delete dbgSink->forwardTo;
    delete dbgSink;
    delete fileSink;
}

bool RkLogger::deliver(LogData* data) {
    bool result = true;
    try {
        for (const std::any& sink : sinks) {
            BaseLogger* target = nullptr;
            if (stdEnabled && sink.type() == typeid(RkStdLogger*))
                target = std::any_cast<RkStdLogger*>(sink);
            else if (dbgEnabled && sink.type() == typeid(RkDbgLogger*))
                target = std::any_cast<RkDbgLogger*>(sink);
            else if (fileEnabled && sink.type() == typeid(RkFileLogger*))
                target = std::any_cast<RkFileLogger*>(sink);
            if (!target || !result) continue;
            result = target->deliver(data);
        }
    } catch (...) {
    }
    return result;
}

RkLogger& processLogger() {
    // Built on first use so that statements logged during static initialisation work too.
    static RkLogger* logger = new RkLogger("zpv.log");
    return *logger;
}

LogMessage::LogMessage(const char* file, unsigned line, int level, BaseLogger* logger)
    : m_logger(logger), m_data(new LogData()) {
    m_data->level = level;
    m_data->sourceLine = line;
    m_data->sourcePath = file ? file : "";
    m_data->sourceFile = FileNameOf(m_data->sourcePath);
    m_data->timestamp = SystemUnixSeconds();
    UtcFromSeconds(m_data->timestamp, m_data->utcTime);
}

LogMessage::~LogMessage() {
    flush();
    if (deleteData) delete m_data;
}

void LogMessage::writeHeader() {
    std::ostream& os = m_data->stream;
    const auto before = m_data->length();
    os.fill(' ');
    os.width(5);
    os << std::left << LevelName(m_data->level);
    os << std::dec << " - " << m_data->sourceFile << "(" << m_data->sourceLine << "): ";
    m_data->headerLength = static_cast<int>(m_data->length() - before);
}

void LogMessage::flush() {
    if (flushed) return;
    LogData& d = *m_data;
    char* const base = d.buf.base();
    char* cur = d.buf.current();
    if (cur == base || cur[-1] != '\n') {
        if (cur == d.buf.limit()) {
            d.buf.backup(1);   // the line feed replaces the last character
        }
        d.buf.sputc('\n');
    }
    deleteData = m_logger ? m_logger->deliver(m_data) : true;
    flushed = true;
}

}  // namespace rklog

namespace n_log {

void CustomLogMessage::writeHeader() {
    const std::tm& t = m_data->utcTime;
    std::ostringstream h;
    h << "[" << rklog::logTag << "][" << rklog::LevelLetter(m_data->level) << "]["
      << (t.tm_year + 1900) << "-" << (t.tm_mon + 1) << "-" << t.tm_mday << " "
      << t.tm_hour << ":" << t.tm_min << ":" << t.tm_sec << "] ";
    const std::string header = h.str();
    m_data->stream << header;
    m_data->headerLength = static_cast<int>(header.size());
}

}  // namespace n_log

template <class Ch>
int OutputDebugStringBuf<Ch>::sync() {
    try {
        std::string text(this->pbase(), this->pptr());
        if (!text.empty()) rklog::PlatformDebugOutput(text.c_str());
        this->setp(m_buffer, m_buffer + kSize);
        return 0;
    } catch (...) {
        return -1;
    }
}

template <class Ch>
typename std::basic_stringbuf<Ch>::int_type OutputDebugStringBuf<Ch>::overflow(
    typename std::basic_stringbuf<Ch>::int_type c) {
    using traits = typename std::basic_stringbuf<Ch>::traits_type;
    if (traits::eq_int_type(c, traits::eof())) return traits::not_eof(c);
    if (sync() != 0) return traits::eof();
    *this->pptr() = traits::to_char_type(c);
    this->pbump(1);
    return c;
}

template class OutputDebugStringBuf<char>;

namespace rklog {
void PlatformDebugOutput(const char* text) {
    if (g_debugOutput) {
        g_debugOutput(text);
        return;
    }
    SystemDebugOutput(text);
}
}  // namespace rklog
