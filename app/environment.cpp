// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "environment.h"

#include <QByteArray>
#include <QList>

namespace {

void moved(QString *place, const char *variable)
{
    const QString overridden = qEnvironmentVariable(variable);
    if (!overridden.isEmpty())
        *place = overridden;
}

} // namespace

Platform platformFromEnvironment()
{
    Platform platform;
    moved(&platform.configDir, "OVRA_USBIP_CONFIG_DIR");
    moved(&platform.sysfsRoot, "OVRA_SYSFS_ROOT");
    moved(&platform.procRoot, "OVRA_PROC_ROOT");
    moved(&platform.modulesRoot, "OVRA_MODULES_ROOT");
    moved(&platform.polkitActionsDir, "OVRA_POLKIT_ACTIONS_DIR");
    moved(&platform.dataDir, "OVRA_DATA_DIR");
    moved(&platform.osReleaseFile, "OVRA_OS_RELEASE_FILE");
    moved(&platform.hostsFile, "OVRA_RESOLVER_HOSTS_FILE");
    moved(&platform.nftProgram, "OVRA_NFT_PROGRAM");
    bool ok = false;
    const int testMode = qgetenv("TESTMODE").toInt(&ok);
    platform.testMode = ok && testMode != 0;
    return platform;
}

void addSystemToolFolders()
{
    QByteArray path = qgetenv("PATH");
    if (path.isEmpty())
        path = "/usr/bin:/bin"; // what the C library searches without a PATH
    const QList<QByteArray> folders = path.split(':');
    for (const char *folder : {"/usr/sbin", "/sbin"}) {
        if (!folders.contains(folder))
            path += QByteArray(":") + folder;
    }
    qputenv("PATH", path);
}
