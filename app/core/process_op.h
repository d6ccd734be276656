// Finding and stopping the client process, and the updater's own folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern const char kClientImageName[];   // "zpvclient.exe"

// Process id of the first running process of the updater's own session (terminal services,
// fast user switching) with this image name (ASCII case ignored), or 0.
std::uint32_t FindProcess_ByName(const std::string& imageName);
// True when a client was found, opened and terminated (exit code 9).
bool KillClient();
// True when, at the end, no client process runs; waits up to 3,000 ms after a termination.
bool KillClientAndWait();
// The running executable's folder, ending in the path separator.
std::wstring GetModuleDir();

// Image-name comparison: equal length, equal after upper-casing ASCII letters only.
bool SameImageName(const std::wstring& entryName, const std::string& name);

// One entry of the system's process list.
struct ProcessEntry {
    std::uint32_t id;
    std::uint32_t session;   // kUnknownSession when it cannot be read (another user's process)
    std::wstring imageName;
};
constexpr std::uint32_t kUnknownSession = 0xFFFFFFFFu;
// The first process of the session with this image name, or 0. Another session's client is
// another user's: an update neither waits for it nor stops it.
std::uint32_t FirstInSession(const std::vector<ProcessEntry>& processes, const std::string& imageName,
                             std::uint32_t session);
