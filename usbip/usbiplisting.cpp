// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "usbiplisting.h"

#include <QCoreApplication>

namespace {

QStringList localArguments()
{
    return {QStringLiteral("list"), QStringLiteral("-l")};
}

} // namespace

namespace UsbIpListing {

QStringList remoteArguments(const QString &host)
{
    return {QStringLiteral("list"), QStringLiteral("-r"), host};
}

ChildResult listLocal()
{
    return runChild(QLatin1String(Tool), localArguments(), ListTimeoutMs);
}

Exports listExports(const QString &host)
{
    Exports exports;
    const ChildResult run = runChild(QLatin1String(Tool), remoteArguments(host), ListTimeoutMs);
    exports.listed = run.succeeded();
    if (exports.listed)
        exports.devices = exportedDevices(run.outputText());
    else
        exports.failure = failureText(run);
    return exports;
}

QList<UsbIpGrammar::ExportedDevice> exportedDevices(const QString &text)
{
    QList<UsbIpGrammar::ExportedDevice> devices;
    const QStringList blocks = UsbIpGrammar::splitRemoteBlocks(text);
    for (const QString &block : blocks) {
        const UsbIpGrammar::ExportedDevice device = UsbIpGrammar::parseRemoteBlock(block);
        if (device.isComplete())
            devices.append(device);
    }
    return devices;
}

QString failureText(const ChildResult &run)
{
    const QString message = run.errorText().trimmed();
    if (!message.isEmpty())
        return message;
    switch (run.end) {
    case ChildResult::End::NotStarted:
        return QCoreApplication::translate("UsbIpListing", "The usbip tool could not be started.");
    case ChildResult::End::TimedOut:
        return QCoreApplication::translate("UsbIpListing",
                                           "The usbip tool got no answer within %1 seconds.")
            .arg(ListTimeoutMs / 1000);
    case ChildResult::End::Exited:
    case ChildResult::End::Crashed:
        break;
    }
    return message;
}

} // namespace UsbIpListing
