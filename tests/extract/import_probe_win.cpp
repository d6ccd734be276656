// Linked against the extractor's import library the way the updater is: calls the export with
// its two path arguments and exits with the status. With a third argument it writes its peak
// working set (bytes) into that file afterwards.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cwchar>

#include "extract/extract_api.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 100;
    int status = ExtractZipToDir(argv[1], argv[2], 0);
    if (argc > 3) {
        PROCESS_MEMORY_COUNTERS pmc{};
        pmc.cb = sizeof pmc;
        if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc)) return 101;
        FILE* f = _wfopen(argv[3], L"w");
        if (!f) return 102;
        std::fprintf(f, "%llu\n", static_cast<unsigned long long>(pmc.PeakWorkingSetSize));
        std::fclose(f);
    }
    return status;
}
