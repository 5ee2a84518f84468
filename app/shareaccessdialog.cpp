// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "shareaccessdialog.h"
#include "ui_shareaccessdialog.h"

#include "accesshosts.h"

#include <QPushButton>
#include <QTextBlock>
#include <QTextEdit>

ShareAccessDialog::ShareAccessDialog(bool restricted, const QStringList &hosts, QWidget *parent)
    : QDialog(parent)
    , m_ui(new Ui::ShareAccessDialog)
{
    m_ui->setupUi(this);
    m_ui->m_problemLabel->setTextFormat(Qt::PlainText);
    // The colour of a failure in the usual themes, readable on light and dark.
    QPalette palette = m_ui->m_problemLabel->palette();
    palette.setColor(QPalette::WindowText, QColor(0xda, 0x44, 0x53));
    m_ui->m_problemLabel->setPalette(palette);
    // A line kept for the explanation: the editor does not jump while an
    // entry turns valid and invalid as it is typed.
    m_ui->m_problemLabel->setMinimumHeight(m_ui->m_problemLabel->fontMetrics().lineSpacing());

    (restricted ? m_ui->m_onlyTheseRadioButton : m_ui->m_anyHostRadioButton)->setChecked(true);
    m_ui->m_hostsEdit->setPlainText(hosts.join(QLatin1Char('\n')));
    m_ui->m_hostsEdit->setEnabled(restricted);
    connect(m_ui->m_onlyTheseRadioButton, &QRadioButton::toggled, m_ui->m_hostsEdit,
            &QWidget::setEnabled);
    connect(m_ui->m_hostsEdit, &QPlainTextEdit::textChanged, this, &ShareAccessDialog::validate);
    // The explanation follows the line the user is on.
    connect(m_ui->m_hostsEdit, &QPlainTextEdit::cursorPositionChanged, this,
            &ShareAccessDialog::validate);
    validate();
}

ShareAccessDialog::~ShareAccessDialog()
{
    delete m_ui;
}

bool ShareAccessDialog::restricted() const
{
    return m_ui->m_onlyTheseRadioButton->isChecked();
}

QList<ShareAccessDialog::Entry> ShareAccessDialog::entries() const
{
    QList<Entry> result;
    for (QTextBlock block = m_ui->m_hostsEdit->document()->begin(); block.isValid();
         block = block.next()) {
        const QString text = block.text().trimmed();
        if (!text.isEmpty())
            result.append(Entry{block.blockNumber(), text});
    }
    return result;
}

QStringList ShareAccessDialog::hosts() const
{
    QStringList result;
    const QList<Entry> list = entries();
    for (const Entry &entry : list)
        result.append(entry.text);
    return result;
}

void ShareAccessDialog::setApply(const Apply &apply)
{
    m_apply = apply;
}

void ShareAccessDialog::validate()
{
    QPlainTextEdit *edit = m_ui->m_hostsEdit;
    const int cursorLine = edit->textCursor().blockNumber();
    const QList<Entry> list = entries();
    QList<QTextEdit::ExtraSelection> marks;
    QString explanation;
    for (const Entry &entry : list) {
        const AccessHosts::Host host = AccessHosts::canonicalHost(entry.text);
        if (host.isValid())
            continue;
        QTextEdit::ExtraSelection mark;
        mark.cursor = QTextCursor(edit->document()->findBlockByNumber(entry.line));
        mark.cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
        mark.format.setBackground(QColor(0xda, 0x44, 0x53, 0x40));
        mark.format.setUnderlineStyle(QTextCharFormat::SpellCheckUnderline);
        mark.format.setUnderlineColor(QColor(0xda, 0x44, 0x53));
        marks.append(mark);
        // The line the user is on, else the first.
        if (explanation.isEmpty() || entry.line == cursorLine)
            explanation = tr("Line %1 is not valid: %2.").arg(entry.line + 1).arg(host.reason);
    }
    if (explanation.isEmpty()) {
        // Every entry is one: the list may still be too long.
        QStringList texts;
        for (const Entry &entry : list)
            texts.append(entry.text);
        explanation = AccessHosts::canonicalHosts(texts).reason;
    }
    edit->setExtraSelections(marks);
    m_ui->m_problemLabel->setText(explanation);
    m_ui->m_buttonBox->button(QDialogButtonBox::Ok)->setEnabled(explanation.isEmpty());
}

void ShareAccessDialog::accept()
{
    if (!m_ui->m_buttonBox->button(QDialogButtonBox::Ok)->isEnabled())
        return;
    if (m_apply && !m_apply(restricted(), hosts()))
        return;
    QDialog::accept();
}

QString ShareAccessDialog::stateText(const AccessState &access)
{
    switch (access.kind) {
    case AccessState::Kind::AnyHost:
        return tr("Shared devices can be attached by any host that reaches this machine.");
    case AccessState::Kind::Restricted:
        if (access.hosts.isEmpty())
            return tr("Shared devices can be attached only by this machine.");
        return tr("Shared devices can be attached by %n host(s).", nullptr, access.hosts.size());
    case AccessState::Kind::Broken:
        return tr("The list of hosts that may attach cannot be read: shared devices can be "
                  "attached only by this machine until it is set again.");
    case AccessState::Kind::Unknown:
        break;
    }
    return tr("Who may attach shared devices is not known: the Manager service cannot be asked.");
}
