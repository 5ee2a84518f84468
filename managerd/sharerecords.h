// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QMultiHash>
#include <QString>

// Which device each constant share was made for. The constant-sharing file
// names a model (vid:pid), which every stick of that model matches; this
// file of the service's own adds the serial number of the very device that
// was shared, so that at start only that device is bound again.
//
// One line per constant share: "vid:pid" and a space and the serial number,
// percent-encoded (so that any serial stays one word on one line), or
// "vid:pid" alone for a device without a serial number. Written atomically
// like the lists.
//
// A model of the constant-sharing file without any record here (a list of
// an earlier version, or a file lost) keeps the old rule: every device of
// the model is bound.
class ShareRecords
{
public:
    // vid:pid -> serial numbers ("" for a device without one)
    using Map = QMultiHash<QString, QString>;

    explicit ShareRecords(const QString &path);

    static QString line(const QString &vidPid, const QString &serial);

    // A missing file is empty; an unreadable one gives false and `error`.
    bool read(Map *records, QString *error = nullptr) const;

    // Records a new constant share of `vidPid` made for `serial`. When the
    // model is not in the constant-sharing file yet (`modelListed` false),
    // records of it left from an interrupted unshare are dropped first.
    bool add(const QString &vidPid, const QString &serial, bool modelListed,
             QString *error = nullptr);
    bool remove(const QString &vidPid, const QString &serial, QString *error = nullptr);

    // Whether a device of model `vidPid` with serial number `serial` is one
    // that a constant share of its model was made for.
    static bool matches(const Map &records, const QString &vidPid, const QString &serial);

private:
    QString m_path;
};
