#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <utility>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "log/log_file.h"
#include "log/rklog.h"
#include "tests/support/support.h"

namespace {
class LogTest : public ::testing::Test {
protected:
    static std::string All() { return zpvtest::LogCapture::Text(); }
    static std::vector<std::string> Pieces() { return zpvtest::LogCapture::Pieces(); }

    zpvtest::LogCapture m_log;
};

// A sink that records what it was handed and answers as told.
struct RecordingSink : rklog::BaseLogger {
    bool answer = true;
    int calls = 0;
    std::string text;
    bool deliver(rklog::LogData* d) override {
        ++calls;
        text.assign(d->text(), d->length());
        return answer;
    }
};
}  // namespace

TEST_F(LogTest, ProgramHeaderIsUtcAndUnpadded) {
    LOG_STREAM(rklog::kInfo) << "install success";
    const std::string line = All();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, std::regex(R"(\[ZPV\]\[I\]\[(\d+)-(\d+)-(\d+) (\d+):(\d+):(\d+)\] install success\n)")))
        << line;
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    utc = *std::gmtime(&now);
    EXPECT_EQ(std::stoi(m[1]), utc.tm_year + 1900);
    EXPECT_EQ(m[2].str(), std::to_string(utc.tm_mon + 1));   // never zero padded
    EXPECT_EQ(std::stoi(m[4]), utc.tm_hour);                  // UTC, not local time
}

TEST_F(LogTest, LevelLettersAndNames) {
    EXPECT_EQ(rklog::LevelLetter(rklog::kTrace), 'T');
    EXPECT_EQ(rklog::LevelLetter(rklog::kFatal), 'F');
    EXPECT_EQ(rklog::LevelLetter(7), 'O');
    EXPECT_EQ(rklog::LevelLetter(-1), 'O');
    EXPECT_STREQ(rklog::LevelName(rklog::kWarn), "WARN");
    EXPECT_STREQ(rklog::LevelName(9), "OTHER");
    LOG_STREAM(7) << "x";
    LOG_STREAM(rklog::kTrace) << "trace passes";
    ASSERT_EQ(Pieces().size(), 2u);
    EXPECT_EQ(Pieces()[0].substr(0, 8), "[ZPV][O]");
    EXPECT_EQ(Pieces()[1].substr(0, 8), "[ZPV][T]");
}

TEST_F(LogTest, LineEndings) {
    LOG_STREAM(rklog::kInfo);
    LOG_STREAM(rklog::kInfo) << "ends\n";
    ASSERT_EQ(Pieces().size(), 2u);
    EXPECT_EQ(Pieces()[0].back(), '\n');
    EXPECT_EQ(Pieces()[0].find("] \n"), Pieces()[0].size() - 3);   // header + line feed only
    EXPECT_EQ(Pieces()[1].substr(Pieces()[1].size() - 5), "ends\n");
    EXPECT_EQ(Pieces()[1].find("\n\n"), std::string::npos);
}

TEST_F(LogTest, LongTextsAreCutAndSentInPiecesOf256) {
    LOG_STREAM(rklog::kError) << std::string(30000, 'x');
    std::string all = All();
    EXPECT_EQ(all.size(), 20000u);
    EXPECT_EQ(all.back(), '\n');
    for (std::size_t i = 0; i + 1 < Pieces().size(); ++i) EXPECT_EQ(Pieces()[i].size(), 256u);

    zpvtest::LogCapture::Clear();
    // A statement without text still delivers one line: the line feed alone.
    RecordingSink empty;
    { rklog::LogMessage probe("a/b/c.cpp", 1, rklog::kInfo, &empty); }
    EXPECT_EQ(empty.calls, 1);
    EXPECT_EQ(empty.text, "\n");
    // A 600-character line reaches the debugger as 256, 256 and 88 characters.
    n_log::CustomLogMessage msg("f.cpp", 3, rklog::kInfo, "fn", &rklog::processLogger());
    msg.stream() << std::string(599, 'y');   // no header: 599 + line feed
    msg.flush();
    ASSERT_EQ(Pieces().size(), 3u);
    EXPECT_EQ(Pieces()[0].size(), 256u);
    EXPECT_EQ(Pieces()[1].size(), 256u);
    EXPECT_EQ(Pieces()[2].size(), 88u);
}

TEST_F(LogTest, BaseHeaderAndSinkOwnership) {
    RecordingSink sink;
    {
        rklog::LogMessage m("src/dir\\x/file.cpp", 42, rklog::kInfo, &sink);
        m.writeHeader();
        m.stream() << "t";
    }
    EXPECT_EQ(sink.text, "INFO  - file.cpp(42): t\n");
    {
        rklog::LogMessage m("C:\\a\\b.cpp", 7, 12, &sink);
        m.writeHeader();
    }
    EXPECT_EQ(sink.text, "OTHER - b.cpp(7): \n");

    // A filtering sink drops levels below its threshold without forwarding.
    rklog::FilteringLogger filter(rklog::kWarn, &sink, false);
    sink.calls = 0;
    { rklog::LogMessage m("f", 1, rklog::kInfo, &filter); }
    EXPECT_EQ(sink.calls, 0);
    { rklog::LogMessage m("f", 1, rklog::kError, &filter); }
    EXPECT_EQ(sink.calls, 1);
    rklog::FilteringLogger nowhere(rklog::kTrace, nullptr, false);
    auto* record = new rklog::LogData();
    EXPECT_FALSE(nowhere.deliver(record));
    delete record;
}

TEST_F(LogTest, FanOutStopsOnceASinkKeepsTheRecord) {
    rklog::RkLogger logger("unused.log");
    EXPECT_EQ(logger.sinks.size(), 1u);
    EXPECT_TRUE(logger.dbgEnabled);
    EXPECT_FALSE(logger.fileEnabled);
    EXPECT_EQ(logger.stdSink, nullptr);
    // Only the debugger sink kind is wired; disabling it makes delivery a no-op that frees.
    logger.dbgEnabled = false;
    { n_log::CustomLogMessage m("f", 1, rklog::kInfo, "fn", &logger); m.stream() << "hidden"; }
    EXPECT_TRUE(Pieces().empty());
    logger.dbgEnabled = true;
    { n_log::CustomLogMessage m("f", 1, rklog::kInfo, "fn", &logger); m.writeHeader(); m.stream() << "shown"; }
    ASSERT_EQ(Pieces().size(), 1u);
    EXPECT_NE(Pieces()[0].find("shown\n"), std::string::npos);

    // Two sinks of the debugger kind: once the first keeps the record, the second is not called.
    RecordingSink keeper, behind;
    rklog::RkDbgLogger first, second;
    delete first.forwardTo;
    delete second.forwardTo;
    first.forwardTo = &keeper;
    second.forwardTo = &behind;
    logger.sinks = {std::any(&first), std::any(&second)};
    rklog::LogData record;
    record.level = rklog::kInfo;
    keeper.answer = false;
    EXPECT_FALSE(logger.deliver(&record));
    EXPECT_EQ(keeper.calls, 1);
    EXPECT_EQ(behind.calls, 0);
    keeper.answer = true;
    EXPECT_TRUE(logger.deliver(&record));
    EXPECT_EQ(keeper.calls, 2);
    EXPECT_EQ(behind.calls, 1);
    logger.sinks.clear();
}

TEST_F(LogTest, ConcurrentMessagesNeverInterleave) {
    constexpr int kThreads = 4, kPerThread = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kPerThread; ++i)
                LOG_STREAM(rklog::kDebug) << "thread " << t << " " << std::string(300 + t * 50, static_cast<char>('a' + t)) << " end";
        });
    }
    for (auto& th : threads) th.join();
    const std::string all = All();
    std::size_t lines = 0, pos = 0;
    while (pos < all.size()) {
        const std::size_t nl = all.find('\n', pos);
        ASSERT_NE(nl, std::string::npos);
        const std::string line = all.substr(pos, nl - pos);
        const auto t = line.find("thread ");
        ASSERT_NE(t, std::string::npos) << line;
        const int id = line[t + 7] - '0';
        EXPECT_EQ(line.substr(t + 9), std::string(300 + id * 50, static_cast<char>('a' + id)) + " end");
        ++lines;
        pos = nl + 1;
    }
    EXPECT_EQ(lines, static_cast<std::size_t>(kThreads * kPerThread));
}

// The log's calendar around the dates where a conversion goes wrong: leap days, century
// years, and past 2038 where a 32-bit time_t wraps.
TEST(LogClock, UtcFieldsMatchTheCalendar) {
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "1970-01-01 00:00:00"},          {-1, "1969-12-31 23:59:59"},
        {951782400, "2000-02-29 00:00:00"},  {2147483647, "2038-01-19 03:14:07"},
        {2147483648, "2038-01-19 03:14:08"}, {4102444799, "2099-12-31 23:59:59"},
        {4107456000, "2100-02-28 00:00:00"}, {253402300799, "9999-12-31 23:59:59"}};
    for (const auto& [seconds, expected] : cases) {
        std::tm t{};
        rklog::UtcFromSeconds(seconds, t);
        char text[80];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                      t.tm_hour, t.tm_min, t.tm_sec);
        EXPECT_STREQ(text, expected) << seconds;
    }
}

namespace {
// The process logger with a small log file: the same rules as the product's 256 KiB, in a few
// kilobytes.
class LogFileTest : public LogTest {
protected:
    static constexpr std::uintmax_t kLimit = 8192;
    void TearDown() override { rklog::DisableLogFile(); }
    // One run as the updater writes it: the opening line, lines of debugger output, the end.
    std::string Run(int id, int lines) {
        zpvtest::LogCapture::Clear();
        EXPECT_TRUE(rklog::EnableLogFile(m_file, kLimit));
        rklog::LogRunBegins("run " + std::to_string(id));
        for (int i = 0; i < lines; ++i) LOG_STREAM(rklog::kWarn) << "run " << id << " line " << i << std::string(80, '.');
        rklog::LogRunEnds(rklog::kError, "download failed: cause " + std::to_string(id));
        rklog::DisableLogFile();
        return All();
    }
    static std::vector<std::string> RunsIn(const std::string& text) {
        std::vector<std::string> runs;
        for (std::size_t p = text.find("] run begins: "); p != std::string::npos; p = text.find("] run begins: ", p + 1))
            runs.push_back(text.substr(p + 14, text.find('\n', p) - p - 14));
        return runs;
    }
    zpvtest::TempDir m_dir{"logfile"};
    std::filesystem::path m_file = m_dir.Path() / "logs" / "zpvupdate.log";
};
}  // namespace

TEST_F(LogFileTest, KeepsTheLastRunsWithinItsBoundAndCutsOnlyAtARunStart) {
    for (int id = 1; id <= 12; ++id) {
        const std::string debugger = Run(id, 12);
        const std::string file = zpvtest::ReadFile(m_file);
        ASSERT_LE(file.size(), kLimit) << "run " << id;
        EXPECT_EQ(file.find("[ZPV][I]["), 0u);                 // the file starts with a run's first line
        EXPECT_EQ(file.find("] run begins: "), file.find("] "));
        // The run's debugger output is in the file unchanged, between its first and last line.
        const std::size_t begin = file.rfind("] run begins: run " + std::to_string(id) + "\n");
        ASSERT_NE(begin, std::string::npos) << "run " << id;
        const std::size_t body = file.find('\n', begin) + 1;
        const std::size_t end = file.rfind("[ZPV][E][");
        ASSERT_GE(end, body);
        EXPECT_EQ(file.substr(body, end - body), debugger);
        EXPECT_EQ(file.substr(file.find("] ", end)), "] run ends: download failed: cause " + std::to_string(id) + "\n");
        EXPECT_EQ(debugger.find("run begins"), std::string::npos);   // the debugger output gains nothing
    }
    const std::vector<std::string> runs = RunsIn(zpvtest::ReadFile(m_file));
    ASSERT_GE(runs.size(), 2u);   // the last few runs, the newest last
    EXPECT_EQ(runs.back(), "run 12");
    EXPECT_EQ(runs[runs.size() - 2], "run 11");
}

TEST_F(LogFileTest, ARunLargerThanTheFileKeepsItsStartAndNamesItsEnd) {
    Run(1, 3);
    Run(2, 300);
    const std::string file = zpvtest::ReadFile(m_file);
    EXPECT_LE(file.size(), kLimit);
    EXPECT_EQ(RunsIn(file), std::vector<std::string>{"run 2"});
    EXPECT_NE(file.find("run 2 line 40."), std::string::npos);
    EXPECT_EQ(file.find("run 2 line 299."), std::string::npos);
    const std::size_t note = file.find(" lines of this run left out: the log file was full)\n[ZPV][E][");
    ASSERT_NE(note, std::string::npos) << file.substr(file.size() - 300);
    const std::string last = "] run ends: download failed: cause 2\n";
    EXPECT_EQ(file.substr(file.size() - last.size()), last);
    // A new run after a full one starts the file afresh with what fits.
    Run(3, 3);
    EXPECT_EQ(RunsIn(zpvtest::ReadFile(m_file)).back(), "run 3");
    EXPECT_LE(zpvtest::ReadFile(m_file).size(), kLimit);
}

TEST_F(LogFileTest, AFileThatCannotBeWrittenCostsOnlyTheLog) {
    zpvtest::WriteFile(m_dir.Path() / "taken", "a file where the folder would be");
    EXPECT_FALSE(rklog::EnableLogFile(m_dir.Path() / "taken" / "zpvupdate.log", kLimit));
    EXPECT_FALSE(rklog::LogFileEnabled());
    rklog::LogRunBegins("nowhere");
    LOG_STREAM(rklog::kInfo) << "still logged";
    rklog::LogRunEnds(rklog::kInfo, "installed");
    EXPECT_EQ(zpvtest::LogCapture::Text().find("still logged"), zpvtest::LogCapture::Text().find("] ") + 2);
    EXPECT_EQ(Pieces().size(), 1u);
}
