// A release folder as the package will hold it, and every rule the package must pass. The rules
// are the extractor's own (entry names, limits, duplicate names), run on the names before a
// byte is written, so that whatever the tool accepts the updater accepts too.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "extract/zip_reader.h"

namespace zpvpack {

namespace fs = std::filesystem;

// Exit statuses of the tool; also the kinds of failure its parts report.
enum Status { kOk = 0, kRefused = 1, kUsage = 2, kIoError = 3 };

struct Item {
    std::string name;     // entry name: "Top/dir/file", '/'-separated UTF-8, no trailing '/'
    bool isDir = false;
    std::uint64_t size = 0;
    fs::path source;      // the file or folder on disk
};

struct Failure {
    int status = kOk;
    std::string text;     // names the file and the reason
};

// Every file and folder under folder (itself included), in package order: a folder before its
// contents, siblings by their UTF-8 bytes. Names start with the folder's own name. Links,
// devices and the like are refused; so is every name the extractor would refuse.
bool ScanRelease(const fs::path& folder, std::vector<Item>* items, Failure* failure,
                 const zpvx::ZipLimits& limits = zpvx::ZipLimits());

// Sizes, counts and names taken together: file and folder counts, sizes, the central
// directory's size, two names for one file on the client (letter case), short-name aliases.
bool CheckPackageNames(const std::vector<Item>& items, Failure* failure,
                       const zpvx::ZipLimits& limits = zpvx::ZipLimits());

// Names of a tree that may be an 8.3 alias of a sibling: "" when none, else the message.
std::string FindShortNameAlias(const zpvx::PathTree& tree);

// Whether the package fits the client's layout. It unpacks into the folder two levels above the
// updater, so every entry must sit in one top folder (the client's own) and the updater, when the
// package has it, in a folder directly inside that one. names: entry paths without trailing '/'.
struct Layout {
    bool ok = true;
    std::string top;       // the top folder's name when there is exactly one
    std::string updater;   // path of ZPVUpdate.exe in the package, "" when it has none
    std::string problem;
};
Layout CheckLayout(const std::vector<std::string>& names, const std::vector<bool>& isDir);

}  // namespace zpvpack
