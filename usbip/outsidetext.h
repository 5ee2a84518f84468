// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QString>

// Text that comes from outside the program — a USB/IP peer's device names,
// a tool's messages, the Manager's error details, a client's arguments in the
// Manager's log — as the program may show it or write it to a log. One rule
// for all of it: every control character, format character (such as the
// right-to-left override U+202E or a zero-width space), line or paragraph
// separator and lone surrogate becomes U+FFFD, so that a peer can neither
// send the terminal or a table row escape sequences nor reorder what is
// shown; and the text is cut to a length.
namespace OutsideText {

// The longest outside text a window shows (a box's details, a device name).
constexpr int MaxShownChars = 400;

enum class Lines {
    Single, // a line break is a control character like any other
    Kept, // "\n", "\r\n" and "\r" stay as line breaks ("\n"); the text is trimmed
};

// `text` cleaned by the rule above and cut to at most `maxChars` characters,
// the last of which is then "…" (a surrogate pair is never split).
QString cleaned(const QString &text, int maxChars = MaxShownChars, Lines lines = Lines::Single);

} // namespace OutsideText
