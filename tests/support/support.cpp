#include "tests/support/support.h"

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include <gtest/gtest.h>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "log/rklog.h"

namespace zpvtest {

namespace fs = std::filesystem;

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

long Pid() {
#ifdef _WIN32
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(getpid());
#endif
}

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const fs::path& p, const std::string& data) {
    std::error_code ec;
    if (p.has_parent_path()) fs::create_directories(p.parent_path(), ec);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string Noise(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (char& c : s) {
        x ^= x << 13; x ^= x >> 17; x ^= x << 5;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

std::string Text(std::size_t n, unsigned seed) {
    std::string s;
    while (s.size() < n) s += "line " + std::to_string(seed++ % 97) + " of the package text\n";
    s.resize(n);
    return s;
}

TempDir::TempDir(const std::string& tag) {
    // A counter too: a folder of an earlier test may still be held by a process that is ending.
    static int counter = 0;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "zpv-" + tag + "-";
    if (info) name += std::string(info->test_suite_name()) + "-" + info->name() + "-";
    name += std::to_string(Pid()) + "-" + std::to_string(++counter);
    m_path = fs::temp_directory_path() / fs::u8path(name);
    std::error_code ec;
    fs::remove_all(m_path, ec);
    fs::create_directories(m_path);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

namespace {
std::mutex g_mutex;
std::vector<std::string> g_pieces;
void Capture(const char* text) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_pieces.push_back(text);
}
}  // namespace

LogCapture::LogCapture() {
    Clear();
    rklog::SetDebugOutput(&Capture);
}

LogCapture::~LogCapture() { rklog::SetDebugOutput(nullptr); }

std::vector<std::string> LogCapture::Pieces() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_pieces;
}

std::string LogCapture::Text() {
    std::string all;
    for (const auto& p : Pieces()) all += p;
    return all;
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_pieces.clear();
}

bool LogCapture::HasLine(char level, const std::string& part) {
    const std::string text = Text();
    const std::string head = std::string("[ZPV][") + level + "][";
    for (std::size_t b = 0; b < text.size();) {
        std::size_t e = text.find('\n', b);
        if (e == std::string::npos) e = text.size();
        const std::string line = text.substr(b, e - b);
        if (line.rfind(head, 0) == 0 && line.find(part) != std::string::npos) return true;
        b = e + 1;
    }
    return false;
}

}  // namespace zpvtest
