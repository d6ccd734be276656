#include "download/downloader.h"

ZipDownloader::ZipDownloader(const ZipConf& package, const std::wstring& folder, InstallAction install)
    : Downloader(package.zipMd5, package.host, package.urlPath, package.forcedUpdate != 0, folder, package.scheme),
      m_package(package),
      m_install(std::move(install)) {}

void ZipDownloader::DoInstall() {
    if (m_install) m_install(m_package);
}
