// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "listfile.h"

#include "usbipgrammar.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

ListFile::ListFile(const QString &path)
    : m_path(path)
{
}

bool ListFile::read(QStringList *lines, QString *error) const
{
    return UsbIpGrammar::readListFile(m_path, UsbIpGrammar::ManagerListRules, lines, error);
}

bool ListFile::add(const QString &entry, QString *error, bool *changed)
{
    if (changed)
        *changed = false;
    QByteArray content;
    if (!UsbIpGrammar::readListFileContent(m_path, &content, error))
        return false;
    if (UsbIpGrammar::listEntries(content, UsbIpGrammar::ManagerListRules).contains(entry))
        return true;
    // A hand-edited file may lack its final newline: never glue the new
    // entry onto the last line.
    if (!content.isEmpty() && !content.endsWith('\n'))
        content += '\n';
    content += entry.toUtf8();
    content += '\n';
    if (!write(content, error))
        return false;
    if (changed)
        *changed = true;
    return true;
}

bool ListFile::remove(const QString &entry, QString *error, bool *changed)
{
    if (changed)
        *changed = false;
    QByteArray content;
    if (!UsbIpGrammar::readListFileContent(m_path, &content, error))
        return false;
    const QStringList lines = UsbIpGrammar::listEntries(content, UsbIpGrammar::ManagerListRules);
    if (!lines.contains(entry))
        return true;
    QStringList remaining;
    for (const QString &line : lines) {
        if (line != entry)
            remaining.append(line);
    }
    const QByteArray rewritten =
        remaining.isEmpty() ? QByteArray() : remaining.join(QLatin1Char('\n')).toUtf8() + '\n';
    if (!write(rewritten, error))
        return false;
    if (changed)
        *changed = true;
    return true;
}

bool ListFile::write(const QByteArray &content, QString *error)
{
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = QStringLiteral("Cannot create the folder %1").arg(folder);
        return false;
    }
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = QStringLiteral("Cannot write %1: %2").arg(m_path, file.errorString());
        return false;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                        | QFileDevice::ReadOther);
    if (file.write(content) != content.size() || !file.commit()) {
        if (error)
            *error = QStringLiteral("Cannot write %1: %2").arg(m_path, file.errorString());
        file.cancelWriting();
        return false;
    }
    return true;
}
