// The Windows test build has no installation of its own (that lives with the updater
// program); the task tests only need the package task to link.
#include "app/install.h"

void InstallPackage(const ZipConf&) {}
