// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QString>
#include <QStringList>

// Checks of everything a client hands the Manager service. Nothing reaches
// the usbip tool or a file unless it passed these checks. Every check works
// on the whole text (anchored at both ends, no final-newline loophole).
namespace ManagerArguments {

// Longest device id ("host/busid/vid:pid") that is accepted at all.
constexpr int MaxDeviceIdLength = 300;
// Longest bus id: the protocol carries it in 32 bytes, NUL included.
constexpr int MaxBusIdLength = 31;

// A bus id (digits, hyphen, digits, optionally followed by hub ports: "1-1",
// "3-1.2.4") that fits the protocol's 32-byte field.
bool isBusId(const QString &text);
// Four hex digits, a colon, four hex digits ("0781:5567").
bool isVidPid(const QString &text);
// A port number as `usbip port` prints it: one to three digits.
bool isPort(const QString &text);
// A plain host name, an IPv4 address or an IPv6 address; never an option
// ("-x"), never white space or a slash.
bool isHost(const QString &text);

struct DeviceId
{
    QString host;
    QString busId;
    QString vidPid; // may be empty
};

// Splits "host/busid/vid:pid" (the vid:pid part may be empty) and checks
// each part. On failure returns false and, when `reason` is given, a short
// English explanation.
bool parseDeviceId(const QString &text, DeviceId *result, QString *reason = nullptr);

// A client-supplied text for a message or the log: at most 64 characters,
// quoted and cleaned (OutsideText), so it stays short and on one line.
QString quoted(const QString &text);

} // namespace ManagerArguments
