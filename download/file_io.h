// The files of the download engine, by path. On Windows the paths stay wide all the way to the
// system, so a folder whose name the ANSI code page cannot hold works like any other.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
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
