// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QString>

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
    // True exactly when package `name` is installed. The package database is
    // asked with dpkg-query (which honours DPKG_ADMINDIR) for the line
    // "<status abbreviation><package>" of `name`; `pattern` must match such a
    // line as a whole, with %1 standing for the package name (regex-escaped),
    // e.g. "ii\s%1". A name that is not a valid package name, or a failing
    // query, gives false.
    static bool isPackageInstalled(const QString &name, const QString &pattern);

    // Which package brings the USB/IP tools here, and whether it is
    // installed (isPackageInstalled with the pattern "ii\s%1").
    // Distributions that ship kernel-matched tools (Ubuntu and its
    // derivatives) use "linux-tools-<kernelRelease>"; Debian ships them as
    // "usbip". Decided from dpkg's database: any linux-tools-* package whose
    // files it holds (installed, half installed, unpacked...) means the
    // former, otherwise such a "usbip" package means the latter. With
    // neither, apt's package lists tell which of the two exists; when they
    // know neither, os-release(5) does: "ubuntu" as its ID or in its ID_LIKE
    // means the former, anything else the latter (OVRA_OS_RELEASE_FILE names
    // another file to read). A package left only with its configuration
    // files, or a name dpkg knows only from another package's relations
    // (Debian's linux-perf names linux-tools-6.1), counts for nothing.
    static ToolsPackage usbipToolsPackage(const QString &kernelRelease);

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
};

} // namespace OvraAdmin
