// The update package description, filled once from the command line.
#pragma once

#include <cstdint>
#include <string>

#include "app/core/url_scheme.h"

struct ZipConf {
    std::wstring zipPath;         // the updater's folder + "update.zip"
    std::string zipMd5;           // expected digest, letter case as given
    std::wstring clientDic;       // extraction folder: two levels above the updater's folder
    std::wstring clientExePath;   // one level above + "ZPVLaunch.exe"
    bool launchClient = false;
    std::string host;             // may carry ":port"
    std::string urlPath;          // from the first "/"
    std::string pageCallParam;
    std::int32_t forcedUpdate = 0;
    // How host is reached: "https://" URLs (exactly these lower-case characters) use TLS; any
    // other text keeps plain HTTP and is split as before.
    UrlScheme scheme = UrlScheme::kHttp;
};

// moduleDir: the running executable's folder with its trailing backslash.
ZipConf parseZipConf(const wchar_t* cmdLine, const std::wstring& moduleDir);

#ifdef _WIN32
ZipConf parseZipConf(const wchar_t* cmdLine);   // uses GetModuleDir()
#endif

// The log file support asked for: the command line's "-logfile=PATH", else the environment's
// value (ZPVUPDATE_LOG); a relative path is taken from moduleDir. Empty: no log file.
std::wstring LogFileOf(const wchar_t* cmdLine, const std::wstring& envValue, const std::wstring& moduleDir);

// Quoted form used in log lines: "..." with '&' inserted before every '"' and '&'.
std::string QuoteForLog(const std::string& text);
