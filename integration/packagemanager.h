// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace OvraAdmin {

// The package that brings the USB/IP user-space tools on this system.
struct ToolsPackage
{
    QString name;
    bool installed = false;
};

// Queries of the system's package database and the graphical package manager.
class PackageManager
{
public:
    // Runs a query program (dpkg-query, apt-cache) with `arguments` and the
    // environment of queryEnvironment(), and returns its standard output;
    // empty when it cannot be run in time. A non-zero exit status is no
    // failure here: both programs report names they do not know that way and
    // still print the others. The caller chooses how it waits (the window's
    // event loop keeps running).
    using Query = std::function<QString(const QString &program, const QStringList &arguments)>;

    // `osReleaseFile`: os-release(5) to read; empty: /etc/os-release, or
    // /usr/lib/os-release where that is missing.
    explicit PackageManager(Query query, const QString &osReleaseFile = QString());

    // What a query runs with besides this process's environment: the C
    // locale, as its output is parsed. dpkg-query honours DPKG_ADMINDIR.
    static QStringList queryEnvironment();

    // True exactly when package `name` is installed. The package database is
    // asked with dpkg-query for the line "<status abbreviation><package>" of
    // `name`; `pattern` must match such a line as a whole, with %1 standing
    // for the package name (regex-escaped), e.g. "ii\s%1". A name that is not
    // a valid package name, or a failing query, gives false.
    bool isPackageInstalled(const QString &name, const QString &pattern) const;

    // Which package brings the USB/IP tools here, and whether it is
    // installed (isPackageInstalled with the pattern "ii\s%1").
    // Distributions that ship kernel-matched tools (Ubuntu and its
    // derivatives) use "linux-tools-<kernelRelease>"; Debian ships them as
    // "usbip". Decided from dpkg's database: any linux-tools-* package whose
    // files it holds (installed, half installed, unpacked...) means the
    // former, otherwise such a "usbip" package means the latter. With
    // neither, apt's package lists tell which of the two exists; when they
    // know neither, os-release(5) does: "ubuntu" as its ID or in its ID_LIKE
    // means the former, anything else the latter. A package left only with
    // its configuration files, or a name dpkg knows only from another
    // package's relations (Debian's linux-perf names linux-tools-6.1),
    // counts for nothing.
    ToolsPackage usbipToolsPackage(const QString &kernelRelease) const;

    // Starts the Synaptic package manager, through its privileged launcher
    // synaptic-pkexec found on PATH, with `name` marked for installation, and
    // returns at once. With `nonInteractive`, Synaptic applies the selection
    // without showing its main window. False when `name` is not a valid
    // package name or the launcher cannot be started.
    static bool runSynapticWithPackageSelected(const QString &name, bool nonInteractive);

    // Whether `name` is a Debian package name: lower-case letters, digits and
    // "+-.", at least two characters, beginning with a letter or digit.
    static bool isValidPackageName(const QString &name);

    // The program that runSynapticWithPackageSelected starts.
    static QString launcherName();

private:
    QStringList packagesInDatabase(const QStringList &names) const;
    QStringList packagesInAptLists(const QStringList &names) const;
    bool osReleaseIsUbuntuLike() const;

    Query m_query;
    QString m_osReleaseFile;
};

} // namespace OvraAdmin
