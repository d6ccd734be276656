#pragma once

#include <string>

// The product's download page (the full installer), opened after an update failed.
std::wstring DownloadPageUrl();
