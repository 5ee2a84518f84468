// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

// Header-only (it needs Qt Gui, which the support library does not link):
// a small icon theme in a temporary folder with plain-coloured icons, so
// that tests can tell theme icons apart by name and by colour.

#include <QColor>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QMap>
#include <QTemporaryDir>

class TestIconTheme
{
public:
    static QString themeName() { return QStringLiteral("ovratest"); }

    // name -> colour of the icon; installs the theme as the current one.
    bool install(const QMap<QString, QColor> &icons)
    {
        if (!m_dir.isValid())
            return false;
        const QString root = m_dir.filePath(themeName());
        if (!QDir().mkpath(root + QStringLiteral("/32x32/devices")))
            return false;
        QFile index(root + QStringLiteral("/index.theme"));
        if (!index.open(QIODevice::WriteOnly))
            return false;
        index.write("[Icon Theme]\nName=ovratest\nDirectories=32x32/devices\n\n"
                    "[32x32/devices]\nSize=32\nType=Fixed\n");
        index.close();
        for (auto it = icons.constBegin(); it != icons.constEnd(); ++it) {
            QImage image(32, 32, QImage::Format_ARGB32);
            image.fill(it.value());
            if (!image.save(root + QStringLiteral("/32x32/devices/") + it.key()
                            + QStringLiteral(".png")))
                return false;
        }
        QIcon::setThemeSearchPaths({m_dir.path()});
        QIcon::setThemeName(themeName());
        return true;
    }

    // The colour of an icon at a point of its 32 x 32 pixmap.
    static QColor colourAt(const QIcon &icon, int x, int y)
    {
        return icon.pixmap(32, 32).toImage().pixelColor(x, y);
    }

private:
    QTemporaryDir m_dir;
};
