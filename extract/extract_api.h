// The extractor library's one export, as the updater imports it from "zlib.dll".
//   zipPath   full path of the package file
//   folder    extraction folder (a trailing backslash is allowed)
//   reserved  0 in normal use; a non-zero value is the time in milliseconds to keep retrying
//             files that are in use (default 10,000)
// Returns 0 on success, otherwise one of the codes in extract/extract_status.h.
#pragma once

#include <stdint.h>

#include "extract/extract_status.h"

#ifdef ZPV_EXTRACT_BUILDING_DLL
#define ZPV_EXTRACT_API __declspec(dllexport)
#else
#define ZPV_EXTRACT_API __declspec(dllimport)
#endif

extern "C" ZPV_EXTRACT_API int __cdecl ExtractZipToDir(const wchar_t* zipPath, const wchar_t* folder, uint32_t reserved);

typedef int(__cdecl* ExtractZipToDirFn)(const wchar_t* zipPath, const wchar_t* folder, uint32_t reserved);
