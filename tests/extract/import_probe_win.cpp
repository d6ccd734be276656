// Linked against the extractor's import library the way the updater is: calls the export with
// its two path arguments and exits with the status.
#include <cwchar>

#include "extract/extract_api.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 100;
    return ExtractZipToDir(argv[1], argv[2], 0);
}
