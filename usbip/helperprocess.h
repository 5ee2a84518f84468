// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QString>
#include <QStringList>

// Runs a small helper program (uname, a shell pipeline) and returns what it
// printed on its standard output, decoded with the local 8-bit codec. A
// program that cannot start gives nothing; one still running after
// `timeoutMs` is killed and gives what it printed until then. On the GUI
// thread the window stays alive meanwhile (OvraWait).
QString helperProcessOutput(const QString &program, const QStringList &arguments, int timeoutMs);
