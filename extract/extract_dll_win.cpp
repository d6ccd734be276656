// The extractor library "zlib.dll": the export the updater calls after a download.
#define ZPV_EXTRACT_BUILDING_DLL
#include "extract/extract_api.h"

#include <windows.h>

#include <new>
#include <string>

#include "app/core/textconv.h"
#include "app/core/utf8.h"
#include "extract/unpack.h"
#include "log/rklog.h"

namespace {

constexpr uint32_t kMaxLockRetryMs = 10 * 60 * 1000;

}  // namespace

extern "C" int __cdecl ExtractZipToDir(const wchar_t* zipPath, const wchar_t* folder, uint32_t reserved) {
    // Nothing may escape into the caller: every failure becomes a status.
    try {
        if (!zipPath || !*zipPath || !folder || !*folder) return ZPV_EXTRACT_BAD_ARGUMENT;
        zpvx::ExtractOptions options;
        if (reserved != 0) options.lockRetryMs = reserved < kMaxLockRetryMs ? reserved : kMaxLockRetryMs;
        zpvx::ExtractResult r = zpvx::ExtractArchive(zipPath, folder, options);
        if (r.status == ZPV_EXTRACT_OK) {
            LOG_STREAM_FN(rklog::kInfo, "ExtractZipToDir") << "extracted";
        } else {
            LOG_STREAM_FN(rklog::kError, "ExtractZipToDir")
                << "extraction failed (" << r.status << "): " << ToNarrow(Utf8ToWide(r.message));
        }
        return r.status;
    } catch (const std::bad_alloc&) {
        return ZPV_EXTRACT_INTERNAL_ERROR;
    } catch (...) {
        return ZPV_EXTRACT_INTERNAL_ERROR;
    }
}
