// The files of the download engine, by path. On Windows the paths stay wide all the way to the
// system, so a folder whose name the ANSI code page cannot hold works like any other.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

// fopen with a mode such as "rb", "ab" or "wb"; null on failure (errno tells why).
std::FILE* OpenFile(const std::filesystem::path& path, const char* mode);
// Moves an open file to an absolute position (past 2 GiB too); false on failure.
bool SeekTo(std::FILE* file, std::uint64_t position);
// Size of a regular file; 0 when there is none (missing, a folder, a device).
std::uint64_t FileSize(const std::filesystem::path& path);
// Deletes a file; one that does not exist is no error.
void RemoveFile(const std::filesystem::path& path);
// The path as narrow text for messages (never throws, whatever the name holds).
std::string PathText(const std::filesystem::path& path);
// The program's folder, given as wide text with its trailing separator, as a path.
std::filesystem::path FolderPath(const std::wstring& folder);
// Text of the last C library error (errno).
std::string LastErrorText();

// Putting a file in place of another, replacing it. kHeld: another program held one of them
// (a virus scanner or an indexer opens a file right after it is written) or refused access,
// which such a hold also gives; it may pass.
enum class MoveResult { kMoved, kHeld, kFailed };
using MoveFn = MoveResult (*)(const std::filesystem::path& from, const std::filesystem::path& to);
MoveResult MoveFileOnce(const std::filesystem::path& from, const std::filesystem::path& to);
// Moves, trying again while held: pauses from 50 ms doubling up to 1 s, for at most giveUpMs,
// and not once stopped() is true.
MoveResult MoveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to, std::uint32_t giveUpMs,
                         const std::function<bool()>& stopped, MoveFn move = &MoveFileOnce);
