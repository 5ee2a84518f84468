// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "usbiplisting.h"

#include "usbipprocess.h"

#include <QCoreApplication>

namespace UsbIpListing {

bool exportedDevices(UsbIpProcess &runner, const QString &host,
                     QList<UsbIpGrammar::ExportedDevice> *devices, UsbIpGrammar::BusIdForm form)
{
    devices->clear();
    if (!runner.listRemote(host, RemoteListTimeoutMs))
        return false;
    const QStringList blocks = UsbIpGrammar::splitRemoteBlocks(runner.standardOutputText());
    for (const QString &block : blocks) {
        const UsbIpGrammar::ExportedDevice device = UsbIpGrammar::parseRemoteBlock(block, form);
        if (device.isComplete())
            devices->append(device);
    }
    return true;
}

QString failureText(UsbIpProcess &runner)
{
    const QString message = runner.standardErrorText().trimmed();
    if (message.isEmpty() && runner.failedToStart())
        return QCoreApplication::translate("UsbIpListing", "The usbip tool could not be started.");
    if (message.isEmpty() && runner.timedOut())
        return QCoreApplication::translate("UsbIpListing",
                                           "The usbip tool got no answer within %1 seconds.")
            .arg(RemoteListTimeoutMs / 1000);
    return message;
}

} // namespace UsbIpListing
