// The updater's download task without its installation step, for tests of the download engine.
#pragma once

#include <string>

#include "download/downloader.h"

namespace zpvtest {

class NoInstallTask : public Downloader {
public:
    NoInstallTask(const std::string& md5, const std::string& host, const std::wstring& folder,
                  const std::string& path = "/p.zip", UrlScheme scheme = UrlScheme::kHttp)
        : Downloader(md5, host, path, false, folder, scheme) {}
    void DoInstall() override {}
};

}  // namespace zpvtest
