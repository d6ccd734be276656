// Turns an archive entry name into a safe relative path under the extraction folder. The rules
// are those of Windows file names and apply on every platform, so a package refused on the
// client is refused by the native build too.
#pragma once

#include <cstddef>
#include <string>

namespace zpvx {

// Name of the extractor's own work folder inside the target; entries may not use it.
extern const char kWorkFolderName[];   // ".zpv-extract"
// Deepest folder nesting an entry may have: no client package nests folders this deep, and
// deeper names only serve to make every check costly.
constexpr std::size_t kMaxPathDepth = 128;

struct EntryPath {
    std::string rel;     // components joined by '/', UTF-8; empty for the folder itself
    bool isDir = false;  // the name ended in a separator
};

// ZPV_EXTRACT_OK, ZPV_EXTRACT_UNSAFE_PATH (leaves the folder, reserved or invalid file name) or
// ZPV_EXTRACT_BAD_NAME (not valid UTF-8). '/' and '\' both separate components.
int NormalizeEntryPath(const std::string& utf8Name, EntryPath* out, std::string* why);

// Case-folded form of a relative path for detecting two entries that name one file on a
// case-insensitive file system (ASCII letters only; the exclusive create catches the rest).
std::string FoldPath(const std::string& rel);

// True when the component shortName has the form of a generated 8.3 short name ("PROGRA~1",
// "ABCDEF~2.TXT", or the hashed "AB12CD~1.TXT") that Windows could have given to the long name
// longName of the same folder: a package holding both may write one file through the other's name.
bool MayBeShortNameOf(const std::string& shortName, const std::string& longName);

}  // namespace zpvx
