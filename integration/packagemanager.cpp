// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "packagemanager.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace {

const int queryTimeoutMs = 30000;

} // namespace

namespace OvraAdmin {

bool PackageManager::isValidPackageName(const QString &name)
{
    static const QRegularExpression valid(QStringLiteral("\\A[a-z0-9][a-z0-9+.-]+\\z"));
    return valid.match(name).hasMatch();
}

QString PackageManager::launcherName()
{
    return QStringLiteral("synaptic-pkexec");
}

bool PackageManager::isPackageInstalled(const QString &name, const QString &pattern)
{
    // dpkg-query takes its arguments as glob patterns; a name with glob or
    // other foreign characters could only match other packages.
    if (!isValidPackageName(name))
        return false;

    const QRegularExpression line(
        QRegularExpression::anchoredPattern(pattern.arg(QRegularExpression::escape(name))));
    if (!line.isValid())
        return false;

    QProcess query;
    query.setProcessChannelMode(QProcess::SeparateChannels);
    query.start(QStringLiteral("dpkg-query"),
                {QStringLiteral("-W"), QStringLiteral("-f=${db:Status-Abbrev}${Package}\\n"),
                 QStringLiteral("--"), name},
                QIODevice::ReadOnly);
    if (!query.waitForStarted(queryTimeoutMs))
        return false;
    if (!query.waitForFinished(queryTimeoutMs)) {
        query.kill();
        query.waitForFinished(1000);
        return false;
    }
    // An unknown package makes dpkg-query fail and print nothing.
    if (query.exitStatus() != QProcess::NormalExit)
        return false;

    const QStringList lines =
        QString::fromLocal8Bit(query.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString &text : lines) {
        if (line.match(text).hasMatch())
            return true;
    }
    return false;
}

bool PackageManager::runSynapticWithPackageSelected(const QString &name, bool nonInteractive)
{
    if (!isValidPackageName(name))
        return false;

    const QString launcher = QStandardPaths::findExecutable(launcherName());
    if (launcher.isEmpty())
        return false;

    // Synaptic reads the selection after the launcher has asked for the
    // password, long after this function returned: the file stays behind
    // in the temporary folder.
    QTemporaryFile selections(QDir::tempPath()
                              + QStringLiteral("/ovra-admin-usbip-XXXXXX.selections"));
    selections.setAutoRemove(false);
    if (!selections.open())
        return false;
    const QByteArray entry = name.toLatin1() + "\tinstall\n";
    if (selections.write(entry) != entry.size() || !selections.flush()) {
        selections.remove();
        return false;
    }
    selections.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                              | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    selections.close();

    QStringList arguments{QStringLiteral("--set-selections-file"), selections.fileName()};
    if (nonInteractive)
        arguments << QStringLiteral("--non-interactive");

    if (!QProcess::startDetached(launcher, arguments)) {
        selections.remove();
        return false;
    }
    return true;
}

} // namespace OvraAdmin
