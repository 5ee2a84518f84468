#include "ovraicons.h"

#include <QIcon>
#include <QStringList>

static void initOvraIconResources()
{
    // The resource lives in a static library: register it explicitly, or the
    // linker may drop its initialiser.
    Q_INIT_RESOURCE(ovraicons);
}

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

    const QString path = QString::fromLatin1(ovraIconFallbackPath());
    QStringList paths = QIcon::fallbackSearchPaths();
    if (!paths.contains(path)) {
        paths.append(path);
        QIcon::setFallbackSearchPaths(paths);
    }
}
