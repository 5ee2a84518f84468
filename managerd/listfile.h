// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "usbipgrammar.h"

#include <QString>
#include <QStringList>

#include <memory>

class QTemporaryFile;

// One of the Manager's list files (the constant-sharing file, the
// constant-connections file, the share-access file): plain text, one entry
// per line, read with the grammar's rules for the file.
//
// The form every writer of the constant lists keeps: an entry is added by
// appending it and a newline; an entry is removed by dropping every line
// equal to it and writing the remaining lines joined by newlines and
// followed by one newline, or an empty file when no line remains. The
// share-access list is written whole (Replacement). Every write replaces
// the file atomically; an unreadable file is reported and never overwritten.
class ListFile
{
public:
    explicit ListFile(const QString &path,
                      const UsbIpGrammar::ListFileRules &rules = UsbIpGrammar::ManagerListRules);

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

    // A whole new content of the list, written and synced beside it in a
    // temporary file of ours; the list itself stays as it is until commit()
    // renames the new content over it. Dropped without commit(), the
    // temporary file goes.
    class Replacement
    {
    public:
        ~Replacement();
        bool commit(QString *error = nullptr);

    private:
        friend class ListFile;
        Replacement() = default;
        std::unique_ptr<QTemporaryFile> m_file;
        QString m_target;
        QString m_listPath;
    };
    // Null, and `error`, when the new content cannot be written.
    std::unique_ptr<Replacement> prepareReplacement(const QByteArray &content,
                                                    QString *error = nullptr) const;

    // What interrupted writes left beside the file: the writer's own
    // temporary files ("shared-usb-devices.ovra-new-AbC123"), a name no one
    // else uses, so they can go without asking.
    QStringList staleTemporaryFiles() const;

private:
    bool write(const QByteArray &content, QString *error);

    QString m_path;
    UsbIpGrammar::ListFileRules m_rules;
};
