#include "app/install.h"
#include "download/downloader.h"

ZipDownloader::ZipDownloader(const ZipConf& package, const std::wstring& folder)
    : Downloader(package.zipMd5, package.host, package.urlPath, package.forcedUpdate != 0, folder),
      m_package(package) {}

void ZipDownloader::DoInstall() { InstallPackage(m_package); }
