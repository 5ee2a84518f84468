// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QString>

namespace OvraAdmin {

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
