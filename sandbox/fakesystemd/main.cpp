// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// A stand-in for systemd on the sandbox's private system bus: it owns
// org.freedesktop.systemd1 and answers the calls with which the program
// checks, enables and starts a unit. Units are active and enabled unless
// named by --inactive or --disabled; starting a unit makes it active (or,
// with --fail-start, leaves it failed).
//
//   ovra-sandbox-systemd [--inactive UNIT]... [--disabled UNIT]... [--fail-start]
//
// With OVRA_SIM_STATE set, starting or stopping usbipd also switches the
// local daemon of the simulated usbip tool's world on or off.

#include "fakesystemd.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QSaveFile>
#include <QSet>

#include <cstdio>

namespace {

const char UsbipdUnit[] = "usbipd.service";
// How long a job of the stand-in takes.
constexpr int JobMs = 50;
// How long to wait for the simulated tool to let go of its world.
constexpr int WorldLockMs = 30000;

QString fullName(const QString &unit)
{
    return unit.contains(QLatin1Char('.')) ? unit : unit + QStringLiteral(".service");
}

// Tells the simulated usbip tool's world whether usbipd runs, under the
// tool's own lock.
void setWorldDaemon(bool running)
{
    const QString path = QString::fromLocal8Bit(qgetenv("OVRA_SIM_STATE"));
    if (path.isEmpty())
        return;
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.tryLock(WorldLockMs))
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    QJsonParseError error;
    QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    file.close();
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return; // a broken world stays as it is
    QJsonObject world = document.object();
    world.insert(QStringLiteral("usbipd"), running);
    QSaveFile out(path);
    if (out.open(QIODevice::WriteOnly)) {
        out.write(QJsonDocument(world).toJson());
        out.commit();
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    QSet<QString> inactive;
    QSet<QString> disabled;
    FakeSystemd systemd(QString::fromLatin1(UsbipdUnit));
    systemd.setOtherUnitsExist(true);
    systemd.setStartDelay(JobMs);
    const QStringList arguments = app.arguments();
    for (int i = 1; i < arguments.size(); ++i) {
        const QString argument = arguments.at(i);
        if (argument == QLatin1String("--inactive") && i + 1 < arguments.size()) {
            inactive.insert(fullName(arguments.at(++i)));
        } else if (argument == QLatin1String("--disabled") && i + 1 < arguments.size()) {
            disabled.insert(fullName(arguments.at(++i)));
        } else if (argument == QLatin1String("--fail-start")) {
            systemd.setStartSucceeds(false);
        } else {
            std::fprintf(stderr,
                         "usage: %s [--inactive UNIT]... [--disabled UNIT]... [--fail-start]\n",
                         argv[0]);
            return 2;
        }
    }
    const QSet<QString> named = (inactive + disabled) << QLatin1String(UsbipdUnit);
    for (const QString &unit : named)
        systemd.addUnit(unit, !inactive.contains(unit), !disabled.contains(unit));
    systemd.setActiveHandler([](const QString &unit, bool active) {
        if (unit == QLatin1String(UsbipdUnit))
            setWorldDaemon(active);
    });

    if (!systemd.start()) {
        std::fprintf(stderr, "ovra-sandbox-systemd: %s\n", qPrintable(systemd.errorString()));
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    return app.exec();
}
