#include "log/log_file.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <system_error>

namespace rklog {

const char kRunBeginsMark[] = "run begins: ";
const char kRunEndsMark[] = "run ends: ";

namespace {
const std::size_t kMaxEndText = 1024;   // a run's last line always fits the reserve

// True when the text of the line at p (after its "[...][.][...] " header) opens a run.
bool BeginsRun(const std::string& buf, std::size_t p) {
    const std::size_t eol = buf.find('\n', p);
    const std::size_t head = buf.find("] ", p);
    if (head == std::string::npos || (eol != std::string::npos && head > eol)) return false;
    return buf.compare(head + 2, std::strlen(kRunBeginsMark), kRunBeginsMark) == 0;
}

bool TextStartsWith(const LogData* d, const char* mark) {
    const std::size_t n = std::strlen(mark);
    const std::size_t head = static_cast<std::size_t>(d->headerLength);
    return d->length() >= head + n && std::memcmp(d->text() + head, mark, n) == 0;
}
}  // namespace

RkFileLogger::RkFileLogger(const std::filesystem::path& path, std::uintmax_t limit) : m_path(path), m_limit(limit) {
    std::error_code ec;
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
    m_out.open(path, std::ios::binary | std::ios::app);
    m_ok = m_out.is_open();
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    m_size = ec ? 0 : size;
    m_runStart = m_size;
}

bool RkFileLogger::Ok() const { return m_ok; }

bool RkFileLogger::deliver(LogData* data) {
    std::lock_guard<std::mutex> lock(m_mutex);
    try {
        Append(data->text(), data->length(), TextStartsWith(data, kRunBeginsMark), TextStartsWith(data, kRunEndsMark));
    } catch (...) {
        m_ok = false;   // out of memory or a stream failure: the log goes, the program does not
    }
    return true;
}

void RkFileLogger::Append(const char* line, std::size_t n, bool begins, bool ends) {
    if (!m_ok) return;
    if (begins) {
        m_runStart = m_size;
        m_dropped = 0;
    }
    std::string note;
    if (ends && m_dropped != 0)
        note = "(" + std::to_string(m_dropped) + " lines of this run left out: the log file was full)\n";
    const std::uintmax_t incoming = n + note.size();
    // Ordinary lines leave the reserve free; the last line of a run may use it.
    const std::uintmax_t budget = ends ? m_limit : (m_limit > kEndReserve ? m_limit - kEndReserve : 0);
    if (m_size + incoming > budget && !MakeRoom(incoming, budget, m_runStart, begins)) {
        ++m_dropped;
        return;
    }
    if (begins) m_runStart = m_size;
    Write(note.data(), note.size());
    Write(line, n);
}

bool RkFileLogger::MakeRoom(std::uintmax_t incoming, std::uintmax_t budget, std::uintmax_t keepFrom, bool allOut) {
    if (incoming > budget) return false;
    const std::uintmax_t need = m_size + incoming - budget;   // bytes to go from the front
    if (need > keepFrom && !allOut) return false;
    // Read from one byte before the earliest possible cut, to see whether a line starts there.
    const std::uintmax_t from = need - 1;
    std::string tail;
    {
        std::ifstream in(m_path, std::ios::binary);
        if (!in) return false;
        in.seekg(static_cast<std::streamoff>(from));
        tail.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::uintmax_t cut = m_size;   // everything, when allowed and nothing else fits
    bool found = false;
    for (std::size_t p = 1; p < tail.size() && from + p <= keepFrom; ++p) {
        if (tail[p - 1] == '\n' && BeginsRun(tail, p)) {
            cut = from + p;
            found = true;
            break;
        }
    }
    if (!found && !allOut) return false;
    const std::string kept = found ? tail.substr(static_cast<std::size_t>(cut - from)) : std::string();
    m_out.close();
    {
        std::ofstream rewrite(m_path, std::ios::binary | std::ios::trunc);
        rewrite.write(kept.data(), static_cast<std::streamsize>(kept.size()));
        rewrite.flush();
        m_ok = static_cast<bool>(rewrite);
    }
    m_out.open(m_path, std::ios::binary | std::ios::app);
    m_ok = m_ok && m_out.is_open();
    m_size = kept.size();
    m_runStart = m_runStart > cut ? m_runStart - cut : 0;
    return m_ok;
}

void RkFileLogger::Write(const char* text, std::size_t n) {
    if (n == 0 || !m_ok) return;
    m_out.write(text, static_cast<std::streamsize>(n));
    m_out.flush();   // whatever happens next, the lines so far are in the file
    m_ok = static_cast<bool>(m_out);
    m_size += n;
}

bool EnableLogFile(const std::filesystem::path& path, std::uintmax_t limit) {
    DisableLogFile();
    RkFileLogger* sink = nullptr;
    try {
        sink = new RkFileLogger(path, limit);
    } catch (...) {
        return false;
    }
    if (!sink->Ok()) {
        delete sink;
        return false;
    }
    RkLogger& logger = processLogger();
    logger.fileSink = sink;
    logger.sinks.emplace_back(sink);
    logger.fileEnabled = true;
    return true;
}

void DisableLogFile() {
    RkLogger& logger = processLogger();
    if (!logger.fileSink) return;
    logger.sinks.erase(std::remove_if(logger.sinks.begin(), logger.sinks.end(),
                                      [](const std::any& a) { return a.type() == typeid(RkFileLogger*); }),
                       logger.sinks.end());
    logger.fileEnabled = false;
    delete logger.fileSink;
    logger.fileSink = nullptr;
}

bool LogFileEnabled() { return processLogger().fileSink != nullptr; }

namespace {
void LogToFile(int level, const char* fn, const char* mark, const std::string& text) {
    RkFileLogger* sink = processLogger().fileSink;
    if (!sink) return;
    n_log::CustomLogMessage msg(__FILE__, __LINE__, level, fn, sink);
    msg.writeHeader();
    msg.stream() << mark << text;
}
}  // namespace

void LogRunBegins(const std::string& text) { LogToFile(kInfo, "LogRunBegins", kRunBeginsMark, text); }

void LogRunEnds(int level, const std::string& text) {
    LogToFile(level, "LogRunEnds", kRunEndsMark, text.size() > kMaxEndText ? text.substr(0, kMaxEndText) : text);
}

}  // namespace rklog
