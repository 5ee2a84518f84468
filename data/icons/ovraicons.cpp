// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "ovraicons.h"

#include <QFileInfo>
#include <QIcon>
#include <QStringList>

// Outside every namespace: Q_INIT_RESOURCE cannot be used inside one.
static void initOvraIconResources()
{
    // The resource lives in a static library: register it explicitly, or the
    // linker may drop its initialiser.
    Q_INIT_RESOURCE(ovraicons);
}

namespace {

bool stockThemeInstalled(const QString &theme)
{
    const QStringList paths = QIcon::themeSearchPaths();
    for (const QString &path : paths) {
        if (QFileInfo::exists(path + QLatin1Char('/') + theme + QStringLiteral("/index.theme")))
            return true;
    }
    return false;
}

} // namespace

const char *ovraIconFallbackPath()
{
    return ":/ovra/icons";
}

void ovraInstallIconFallback()
{
    initOvraIconResources();

    // The icon loader consults the fallback paths only after a theme lookup,
    // and does no lookup at all while no theme is named (as on platforms
    // without a desktop theme, e.g. offscreen). Name the freedesktop default
    // theme then; a desktop's own theme choice is left untouched.
    if (QIcon::themeName().isEmpty())
        QIcon::setThemeName(QStringLiteral("hicolor"));

    // hicolor alone (no desktop theme chosen) has none of the stock action
    // icons (view-refresh, system-search, media-playback-stop): borrow them
    // from a complete installed theme, as a desktop's own theme would give.
    const QString fallback = QIcon::fallbackThemeName();
    if (QIcon::themeName() == QLatin1String("hicolor")
        && (fallback.isEmpty() || fallback == QLatin1String("hicolor"))) {
        for (const char *stock : {"breeze", "Adwaita"}) {
            if (stockThemeInstalled(QString::fromLatin1(stock))) {
                QIcon::setFallbackThemeName(QString::fromLatin1(stock));
                break;
            }
        }
    }

    const QString path = QString::fromLatin1(ovraIconFallbackPath());
    QStringList paths = QIcon::fallbackSearchPaths();
    if (!paths.contains(path)) {
        paths.append(path);
        QIcon::setFallbackSearchPaths(paths);
    }
}
