// Command-line front end of the extractor core: zpv_extract_cli PACKAGE FOLDER
// Exits with the extraction status (0 success); prints the reason of a failure.
#include <cstdio>

#include "extract/unpack.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PACKAGE FOLDER\n", argv[0]);
        return ZPV_EXTRACT_BAD_ARGUMENT;
    }
    zpvx::ExtractResult r = zpvx::ExtractArchive(argv[1], argv[2], zpvx::ExtractOptions());
    if (r.status != ZPV_EXTRACT_OK) std::fprintf(stderr, "extraction failed (%d): %s\n", r.status, r.message.c_str());
    return r.status;
}
