// Native build: the download tools and tests link the task, but installing needs Windows.
#include "app/install.h"
#include "app/textconv.h"
#include "log/rklog.h"

void InstallPackage(const ZipConf& package) {
    LOG_STREAM_FN(rklog::kWarn, "InstallPackage")
        << "installation needs Windows; package left at " << ToNarrowPath(package.zipPath);
}
