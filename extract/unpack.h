// Staged, all-or-nothing extraction of an archive into a folder, safe against a crash at any
// moment.
//
// Every entry is first extracted and verified into a staging folder inside the target (same
// volume, so moving is a rename). The target is then checked against the real file system's view
// of every name (a name that reaches an existing file under another name, such as a short-name
// alias, is refused). The whole plan of moves is written to a journal and flushed to the disk
// before the first file of the target is touched; an existing file is renamed aside and the new
// one renamed in (Windows allows renaming a running program's own files but not overwriting
// them). The updater's own files come last. On a failure every move is undone; a run that finds
// the journal of an interrupted commit finishes it (or undoes it when it cannot be finished)
// before anything else, so the target always ends as exactly the old or exactly the new tree.
// Old files that cannot be deleted at once (a running program) stay in the work folder, with the
// journal marked committed, and are deleted by a later run.
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
