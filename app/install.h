// Installation of a downloaded and verified update package.
#pragma once

#include "app/zipconf.h"

// Stops the client, unpacks the package (forced updates), shows the launch window and starts
// the client launcher again. Runs on the UI thread.
void InstallPackage(const ZipConf& package);
