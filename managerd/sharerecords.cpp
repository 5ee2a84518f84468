// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "sharerecords.h"

#include "listfile.h"

#include <QStringList>
#include <QUrl>

ShareRecords::ShareRecords(const QString &path)
    : m_path(path)
{
}

QString ShareRecords::line(const QString &vidPid, const QString &serial)
{
    if (serial.isEmpty())
        return vidPid;
    return vidPid + QLatin1Char(' ') + QString::fromLatin1(QUrl::toPercentEncoding(serial));
}

bool ShareRecords::read(Map *records, QString *error) const
{
    QStringList lines;
    if (!ListFile(m_path).read(&lines, error))
        return false;
    records->clear();
    for (const QString &entry : qAsConst(lines)) {
        const int space = entry.indexOf(QLatin1Char(' '));
        if (space < 0)
            records->insert(entry, QString());
        else
            records->insert(entry.left(space),
                            QUrl::fromPercentEncoding(entry.mid(space + 1).toLatin1()));
    }
    return true;
}

bool ShareRecords::add(const QString &vidPid, const QString &serial, bool modelListed,
                       QString *error)
{
    ListFile file(m_path);
    if (!modelListed) {
        Map records;
        if (!read(&records, error))
            return false;
        const QStringList stale = records.values(vidPid);
        for (const QString &old : stale) {
            if (!file.remove(line(vidPid, old), error))
                return false;
        }
    }
    return file.add(line(vidPid, serial), error);
}

bool ShareRecords::remove(const QString &vidPid, const QString &serial, QString *error)
{
    return ListFile(m_path).remove(line(vidPid, serial), error);
}

bool ShareRecords::matches(const Map &records, const QString &vidPid, const QString &serial)
{
    return !records.contains(vidPid) || records.values(vidPid).contains(serial);
}
