// The product's download page (the full installer), opened after an update failed.
#pragma once

#include <string>

std::wstring DownloadPageUrl();
