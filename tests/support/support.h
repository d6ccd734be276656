// What test programs of every folder share: private folders, file bytes, the environment,
// waits for a condition and captured log output.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace zpvtest {

std::string Env(const char* name);   // "" when unset
long Pid();

std::string ReadFile(const std::filesystem::path& p);
// Replaces the file, making its folders first.
void WriteFile(const std::filesystem::path& p, const std::string& data);

// Deterministic test bytes: incompressible noise, or compressible text.
std::string Noise(std::size_t n, unsigned seed = 1);
std::string Text(std::size_t n, unsigned seed);

// Polls cond until it holds (true) or ms have passed (its last value): a test waits for what it
// needs, never a fixed time that is too short on a loaded machine and too long on an idle one.
template <class Condition>
bool WaitUntil(Condition cond, std::uint32_t ms, std::uint32_t pollMs = 2) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    return true;
}

// A fresh folder named after the running test and process, removed with the object.
class TempDir {
public:
    explicit TempDir(const std::string& tag);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// What the process logger hands to the debugger output while the object lives: each piece as
// delivered, and all of it as one text.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    static std::vector<std::string> Pieces();
    static std::string Text();
    static void Clear();
    static bool Has(const std::string& part) { return Text().find(part) != std::string::npos; }
    // True when a line of that level letter ('W', 'E', ...) contains part.
    static bool HasLine(char level, const std::string& part);
};

}  // namespace zpvtest
