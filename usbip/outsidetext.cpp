// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "outsidetext.h"

namespace OutsideText {

namespace {

bool isHidden(uint character)
{
    switch (QChar::category(character)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
    case QChar::Other_Surrogate: // half a pair: broken text
        return true;
    default:
        return false;
    }
}

} // namespace

QString cleaned(const QString &text, int maxChars, Lines lines)
{
    QString source = text;
    if (lines == Lines::Kept) {
        source.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        source.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        source = source.trimmed();
    }
    QString result;
    result.reserve(qMin(source.size(), maxChars + 1));
    for (int i = 0; i < source.size() && result.size() <= maxChars; ++i) {
        const QChar c = source.at(i);
        const bool pair =
            c.isHighSurrogate() && i + 1 < source.size() && source.at(i + 1).isLowSurrogate();
        const uint character = pair ? QChar::surrogateToUcs4(c, source.at(i + 1)) : c.unicode();
        if (lines == Lines::Kept && c == QLatin1Char('\n'))
            result.append(c);
        else if (isHidden(character))
            result.append(QChar::ReplacementCharacter);
        else if (pair)
            result.append(source.midRef(i, 2));
        else
            result.append(c);
        if (pair)
            ++i;
    }
    if (result.size() > maxChars) {
        int cut = qMax(0, maxChars - 1);
        if (cut > 0 && result.at(cut - 1).isHighSurrogate())
            --cut;
        result = result.left(cut) + QChar(0x2026);
    }
    return result;
}

} // namespace OutsideText
