// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QString>
#include <QStringList>

// One of the Manager's list files (the constant-sharing file, the
// constant-connections file): plain text, one entry per line.
//
// The form every writer keeps: an entry is added by appending it and a
// newline; an entry is removed by dropping every line equal to it and
// writing the remaining lines joined by newlines and followed by one
// newline, or an empty file when no line remains. Every write replaces the
// file atomically; an unreadable file is reported and never overwritten.
class ListFile
{
public:
    explicit ListFile(const QString &path);

    QString path() const { return m_path; }

    // The file's lines, empty ones dropped. A missing file is an empty list;
    // a file that exists but cannot be read gives false and `error`.
    bool read(QStringList *lines, QString *error = nullptr) const;

    // Appends `entry` unless a line equal to it is already there. Creates the
    // folder and the file when missing. `changed` tells whether it wrote.
    bool add(const QString &entry, QString *error = nullptr, bool *changed = nullptr);

    // Drops every line equal to `entry`; leaves the file alone when there is
    // none (also when the file is missing).
    bool remove(const QString &entry, QString *error = nullptr, bool *changed = nullptr);

    // What interrupted writes left beside the file: the writer's own
    // temporary files ("shared-usb-devices.ovra-new-AbC123"), a name no one
    // else uses, so they can go without asking.
    QStringList staleTemporaryFiles() const;

private:
    bool write(const QByteArray &content, QString *error);

    QString m_path;
};
