// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// The simulated `usbip` tool of the sandbox: answers the real tool's
// commands from the world kept in the JSON file named by OVRA_SIM_STATE.

#include "simworld.h"

#include <QCoreApplication>
#include <QProcess>
#include <QThread>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments();
    arguments.removeFirst();

    const SimUsbIp::Result result =
        SimUsbIp::run(arguments, QString::fromLocal8Bit(qgetenv("OVRA_SIM_STATE")));

    if (!result.runReal.isEmpty()) {
        // A host of the world marked "real": the real tool talks to a peer
        // listening on the host's address.
        const QByteArray overridden = qgetenv("OVRA_SIM_REAL_USBIP");
        QProcess tool;
        tool.setProcessChannelMode(QProcess::ForwardedChannels);
        tool.start(overridden.isEmpty() ? QStringLiteral("/usr/sbin/usbip")
                                        : QString::fromLocal8Bit(overridden),
                   result.runReal);
        if (!tool.waitForFinished(-1) || tool.exitStatus() != QProcess::NormalExit) {
            std::fputs("usbip: error: the real usbip tool failed to run\n", stderr);
            return 1;
        }
        return tool.exitCode();
    }

    if (result.hang) {
        // A peer that accepts and never answers: wait until killed.
        for (;;)
            QThread::sleep(3600);
    }
    if (result.delayMs > 0)
        QThread::msleep(static_cast<unsigned long>(result.delayMs));

    std::fwrite(result.out.constData(), 1, static_cast<size_t>(result.out.size()), stdout);
    std::fflush(stdout);
    std::fwrite(result.err.constData(), 1, static_cast<size_t>(result.err.size()), stderr);
    std::fflush(stderr);
    return result.exitCode;
}
