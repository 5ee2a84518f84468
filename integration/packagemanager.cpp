// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "packagemanager.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <algorithm>

namespace OvraAdmin {

PackageManager::PackageManager(Query query, const QString &osReleaseFile)
    : m_query(std::move(query))
    , m_osReleaseFile(osReleaseFile)
{
}

QStringList PackageManager::queryEnvironment()
{
    return {QStringLiteral("LC_ALL=C")};
}

// The packages of `names` (dpkg-query patterns) whose files dpkg's database
// holds, wholly or in part: every state but "not installed" and "config
// files". Names dpkg merely saw in another package's relations are listed as
// not installed; a package removed long ago but for its configuration (a
// Debian upgraded since its linux-tools-3.16) says nothing of this
// distribution.
QStringList PackageManager::packagesInDatabase(const QStringList &names) const
{
    const QString output =
        m_query(QStringLiteral("dpkg-query"),
                QStringList{QStringLiteral("-W"),
                            QStringLiteral("-f=${db:Status-Abbrev}\\t${Package}\\n"),
                            QStringLiteral("--")}
                    + names);
    QStringList packages;
    const QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &text : lines) {
        // The abbreviation's second letter is the state.
        const QStringList fields = text.split(QLatin1Char('\t'));
        if (fields.size() == 2 && fields.at(0).size() >= 2 && fields.at(0).at(1) != QLatin1Char('n')
            && fields.at(0).at(1) != QLatin1Char('c'))
            packages << fields.at(1);
    }
    return packages;
}

// The packages of `names` for which apt's package lists have a candidate.
QStringList PackageManager::packagesInAptLists(const QStringList &names) const
{
    const QString output =
        m_query(QStringLiteral("apt-cache"), QStringList{QStringLiteral("policy")} + names);
    static const QRegularExpression header(QStringLiteral("\\A(\\S+):\\z"));
    static const QRegularExpression candidate(QStringLiteral("\\A\\s+Candidate:\\s*(\\S+)"));
    QStringList packages;
    QString current;
    const QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &text : lines) {
        QRegularExpressionMatch match = header.match(text);
        if (match.hasMatch()) {
            current = match.captured(1);
            continue;
        }
        match = candidate.match(text);
        if (match.hasMatch() && match.captured(1) != QLatin1String("(none)")
            && names.contains(current))
            packages << current;
    }
    return packages;
}

// Whether os-release(5) names Ubuntu as this system's ID or in its ID_LIKE.
bool PackageManager::osReleaseIsUbuntuLike() const
{
    QString path = m_osReleaseFile;
    if (path.isEmpty()) {
        path = QStringLiteral("/etc/os-release");
        if (!QFile::exists(path))
            path = QStringLiteral("/usr/lib/os-release");
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    static const QRegularExpression assignment(
        QStringLiteral("\\A(ID|ID_LIKE)=([\"']?)([^\"']*)\\2\\z"));
    while (!file.atEnd()) {
        const QRegularExpressionMatch match =
            assignment.match(QString::fromUtf8(file.readLine()).trimmed());
        if (match.hasMatch()
            && match.captured(3)
                   .split(QLatin1Char(' '), Qt::SkipEmptyParts)
                   .contains(QLatin1String("ubuntu")))
            return true;
    }
    return false;
}

bool PackageManager::isValidPackageName(const QString &name)
{
    static const QRegularExpression valid(QStringLiteral("\\A[a-z0-9][a-z0-9+.-]+\\z"));
    return valid.match(name).hasMatch();
}

QString PackageManager::launcherName()
{
    return QStringLiteral("synaptic-pkexec");
}

bool PackageManager::isPackageInstalled(const QString &name, const QString &pattern) const
{
    // dpkg-query takes its arguments as glob patterns; a name with glob or
    // other foreign characters could only match other packages.
    if (!isValidPackageName(name))
        return false;

    const QRegularExpression line(
        QRegularExpression::anchoredPattern(pattern.arg(QRegularExpression::escape(name))));
    if (!line.isValid())
        return false;

    // An unknown package makes dpkg-query fail and print nothing.
    const QStringList lines =
        m_query(QStringLiteral("dpkg-query"),
                {QStringLiteral("-W"), QStringLiteral("-f=${db:Status-Abbrev}${Package}\\n"),
                 QStringLiteral("--"), name})
            .split(QLatin1Char('\n'));
    for (const QString &text : lines) {
        if (line.match(text).hasMatch())
            return true;
    }
    return false;
}

ToolsPackage PackageManager::usbipToolsPackage(const QString &kernelRelease) const
{
    const QString kernelTools = QStringLiteral("linux-tools-") + kernelRelease;
    const QString debianTools = QStringLiteral("usbip");
    const QString installedPattern = QStringLiteral("ii\\s%1");

    const QStringList known = packagesInDatabase({QStringLiteral("linux-tools-*"), debianTools});
    const bool kernelMatched = std::any_of(known.cbegin(), known.cend(), [](const QString &name) {
        return name.startsWith(QLatin1String("linux-tools-"));
    });
    if (kernelMatched)
        return {kernelTools, isPackageInstalled(kernelTools, installedPattern)};
    if (known.contains(debianTools))
        return {debianTools, isPackageInstalled(debianTools, installedPattern)};

    // Neither kind is installed here: the package lists tell which of the
    // two this distribution has, and, when they know neither (offline,
    // never updated), what the system says it is.
    const QStringList available = isValidPackageName(kernelTools)
                                    ? packagesInAptLists({kernelTools, debianTools})
                                    : packagesInAptLists({debianTools});
    if (available.contains(kernelTools))
        return {kernelTools, false};
    if (available.contains(debianTools))
        return {debianTools, false};
    return {osReleaseIsUbuntuLike() ? kernelTools : debianTools, false};
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
