// Staged, all-or-nothing extraction of an archive into a folder.
//
// Every entry is first extracted and verified into a staging folder inside the target (same
// volume, so moving is a rename). Only then are files moved into place: an existing file is
// renamed aside first and the new one renamed in (Windows allows renaming a running program's
// own files but not overwriting them). On any failure every step is undone in reverse order and
// the target holds what it held before. Old files that cannot be deleted at once (a running
// program) stay in the work folder and are removed by a later run.
#pragma once

#include <string>

#include "extract/extract_status.h"
#include "extract/fs.h"
#include "extract/zip_reader.h"

namespace zpvx {

struct ExtractOptions {
    ZipLimits limits;
    // Total time spent waiting for locked files, while committing and again while rolling back.
    unsigned lockRetryMs = 10000;
    Fs* fs = nullptr;   // the real file system when null
};

struct ExtractResult {
    int status = ZPV_EXTRACT_OK;
    std::string message;   // UTF-8 description of a failure
};

ExtractResult ExtractArchive(const NativeString& zipPath, const NativeString& folder, const ExtractOptions& options);

}  // namespace zpvx
