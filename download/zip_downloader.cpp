#include "download/downloader.h"

ZipDownloader::ZipDownloader(const ZipConf& package, const std::wstring& folder, InstallAction install)
    : Downloader(package.zipMd5, package.host, package.urlPath, package.forcedUpdate != 0, folder),
      m_package(package),
      m_install(std::move(install)) {}

ZipDownloader::~ZipDownloader() {
    // Ends the worker before any part of this object goes.
    StopAndWait();
}

void ZipDownloader::DoInstall() {
    if (m_install) m_install(m_package);
}
