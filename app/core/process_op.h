// Finding and stopping the client process, and the updater's own folder.
#pragma once

#include <cstdint>
#include <string>

extern const char kClientImageName[];   // "zpvclient.exe"

// Process id of the first running process with this image name (ASCII case ignored), or 0.
std::uint32_t FindProcess_ByName(const std::string& imageName);
// True when a client was found, opened and terminated (exit code 9).
bool KillClient();
// True when, at the end, no client process runs; waits up to 3,000 ms after a termination.
bool KillClientAndWait();
// The running executable's folder, ending in the path separator.
std::wstring GetModuleDir();

// Image-name comparison: equal length, equal after upper-casing ASCII letters only.
bool SameImageName(const std::wstring& entryName, const std::string& name);
