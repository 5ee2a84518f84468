// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include "localsharing.h"

#include <QDialog>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace Ui {
class ShareAccessDialog;
}

// The modal dialog in which the user chooses who may attach this machine's
// shared devices: any host that reaches it, or only the hosts of a list,
// edited one entry a line and checked while typed with the Manager's own
// rules (AccessHosts). OK stays disabled while an entry is invalid or the
// list is too long; the list is kept while any host may attach.
class ShareAccessDialog : public QDialog
{
    Q_OBJECT
public:
    ShareAccessDialog(bool restricted, const QStringList &hosts, QWidget *parent = nullptr);
    ~ShareAccessDialog() override;

    bool restricted() const;
    // The entries: every line that is not blank, without its blanks.
    QStringList hosts() const;

    // Puts the choice in force when OK is pressed; on false (the Manager
    // refused, and said so) the dialog stays open with what was entered.
    using Apply = std::function<bool(bool restricted, const QStringList &hosts)>;
    void setApply(const Apply &apply);

    // The line under the local table that says who may attach.
    static QString stateText(const AccessState &access);

public Q_SLOTS:
    void accept() override;

private:
    struct Entry
    {
        int line; // 0-based block number
        QString text;
    };
    QList<Entry> entries() const;
    // Marks the invalid entries, explains one and enables OK as fits.
    void validate();

    Ui::ShareAccessDialog *m_ui;
    Apply m_apply;
};
