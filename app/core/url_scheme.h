// The two ways to reach the package server: plain HTTP, and HTTP inside TLS.
#pragma once

enum class UrlScheme {
    kHttp,    // "http://" or no scheme at all
    kHttps,   // "https://"
};

// The URL prefix that names the scheme.
constexpr const char* SchemePrefix(UrlScheme scheme) { return scheme == UrlScheme::kHttps ? "https://" : "http://"; }
// The port a host without ":port" is reached on.
constexpr const char* DefaultPort(UrlScheme scheme) { return scheme == UrlScheme::kHttps ? "443" : "80"; }
