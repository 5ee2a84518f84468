// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "ovraintegration.h"

#include <QApplication>
#include <QDataStream>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QMainWindow>
#include <QPointer>
#include <QScreen>
#include <QSettings>
#include <QTextBrowser>
#include <QTranslator>
#include <QUrl>
#include <QVBoxLayout>

// Outside every namespace: Q_INIT_RESOURCE cannot be used inside one.
static void initIntegrationResources()
{
    Q_INIT_RESOURCE(ovraintegration);
}

namespace {

const char geometryKey[] = "geometry";
const char windowStateKey[] = "windowState";
const char organisationName[] = "ovra";
const char desktopFileName[] = "ovra-admin-usbip";
const char translationBaseName[] = "ovra-admin-usbip";
const char compiledHelpPage[] = ":/ovra-admin-usbip/help/index.html";

QPointer<QDialog> s_helpWindow;
QPointer<QTextBrowser> s_helpBrowser;

// The folder searched first (setExtraDataDirectory); empty: none.
QString &extraDataDirectory()
{
    static QString dir;
    return dir;
}

void appendExisting(QStringList &dirs, const QString &dir)
{
    if (dir.isEmpty())
        return;
    const QString clean = QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
    if (QFileInfo(clean).isDir() && !dirs.contains(clean))
        dirs.append(clean);
}

bool installTranslator(const QLocale &locale, const QString &baseName, const QStringList &dirs)
{
    for (const QString &dir : dirs) {
        auto *translator = new QTranslator(qApp);
        // With the suffix given, a language without a catalogue of its own
        // falls back to the one without a language ("ovra-admin-usbip.qm":
        // the English plural forms).
        if (translator->load(locale, baseName, QStringLiteral("_"), dir, QStringLiteral(".qm"))) {
            QCoreApplication::installTranslator(translator);
            return true;
        }
        delete translator;
    }
    return false;
}

// The help window: a text browser and a Close button. It is not modal and
// is only hidden when closed, so the next call shows the same window.
QDialog *createHelpWindow()
{
    auto *dialog = new QDialog(nullptr, Qt::Window);
    dialog->setObjectName(QStringLiteral("ovraHelpWindow"));
    dialog->setWindowTitle(QCoreApplication::translate("Ovra", "%1 Help")
                               .arg(QGuiApplication::applicationDisplayName()));
    dialog->setModal(false);
    // An open help window must not keep the program running once its last
    // real window has been closed.
    dialog->setAttribute(Qt::WA_QuitOnClose, false);
    dialog->resize(640, 560);

    auto *browser = new QTextBrowser(dialog);
    browser->setObjectName(QStringLiteral("ovraHelpBrowser"));
    browser->setOpenExternalLinks(true);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::hide);

    auto *layout = new QVBoxLayout(dialog);
    layout->addWidget(browser);
    layout->addWidget(buttons);

    // The window outlives every other window of the program; delete it with
    // the application object.
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, dialog, &QObject::deleteLater);

    s_helpBrowser = browser;
    return dialog;
}

// QWidget::restoreGeometry() accepts a blob whose header is right but whose
// rectangles are cut off, and then gives the window a size of 1 x 1 at the
// top of the screen. A stored entry counts only when it is complete and its
// normal geometry has a size.
bool isCompleteGeometry(const QByteArray &blob)
{
    QDataStream in(blob);
    in.setVersion(QDataStream::Qt_4_0);
    quint32 magic = 0;
    quint16 major = 0;
    quint16 minor = 0;
    in >> magic >> major >> minor;
    if (magic != 0x1D9D0CB || major < 1 || major > 3)
        return false;
    QRect frame;
    QRect normal;
    qint32 screen = 0;
    quint8 maximized = 0;
    quint8 fullScreen = 0;
    in >> frame >> normal >> screen >> maximized >> fullScreen;
    return in.status() == QDataStream::Ok && normal.width() > 0 && normal.height() > 0;
}

QRect availableAreaFor(const QRect &frame)
{
    const QList<QScreen *> screens = QGuiApplication::screens();
    QScreen *best = nullptr;
    qint64 bestArea = 0;
    for (QScreen *screen : screens) {
        const QRect common = screen->availableGeometry().intersected(frame);
        const qint64 area = qint64(common.width()) * common.height();
        if (!common.isEmpty() && area > bestArea) {
            best = screen;
            bestArea = area;
        }
    }
    if (!best)
        best = QGuiApplication::primaryScreen();
    return best ? best->availableGeometry() : QRect();
}

} // namespace

void ovraInit(const char *version, const char *name)
{
    initIntegrationResources();

    QCoreApplication::setOrganizationName(QString::fromLatin1(organisationName));
    QCoreApplication::setApplicationName(QString::fromUtf8(name));
    QCoreApplication::setApplicationVersion(QString::fromUtf8(version));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(desktopFileName));

    // The default locale is the system locale unless the program chose another.
    const QLocale locale;
    installTranslator(locale, QStringLiteral("qtbase"),
                      {QLibraryInfo::location(QLibraryInfo::TranslationsPath)});

    QStringList dirs;
    for (const QString &dataDir : Ovra::dataDirectories())
        appendExisting(dirs, dataDir + QStringLiteral("/translations"));
    // A build tree keeps the compiled translations beside the program or in
    // a translations folder of its own.
    const QString appDir = QCoreApplication::applicationDirPath();
    appendExisting(dirs, appDir);
    appendExisting(dirs, appDir + QStringLiteral("/translations"));
    appendExisting(dirs, QStringLiteral(OVRA_BUILD_DIR "/translations"));
    installTranslator(locale, QString::fromLatin1(translationBaseName), dirs);
}

void Ovra::setExtraDataDirectory(const QString &dir)
{
    extraDataDirectory() = dir;
}

QStringList Ovra::dataDirectories()
{
    QStringList dirs;
    appendExisting(dirs, extraDataDirectory());

    const QString appDir = QCoreApplication::applicationDirPath();
    const QString buildDir = QStringLiteral(OVRA_BUILD_DIR);
    const bool inBuildTree =
        !appDir.isEmpty() && (appDir == buildDir || appDir.startsWith(buildDir + QLatin1Char('/')));
    // A program run from its build tree uses the data it was built with,
    // not an older installed copy.
    if (inBuildTree) {
        appendExisting(dirs, QStringLiteral(OVRA_BUILD_DATA_DIR));
        appendExisting(dirs, QStringLiteral(OVRA_SOURCE_DATA_DIR));
    }
    appendExisting(dirs, QStringLiteral(OVRA_DATA_DIR_ABS));
    if (!appDir.isEmpty())
        appendExisting(dirs, appDir + QStringLiteral("/../share/ovra-admin-usbip"));
    if (!inBuildTree) {
        appendExisting(dirs, QStringLiteral(OVRA_BUILD_DATA_DIR));
        appendExisting(dirs, QStringLiteral(OVRA_SOURCE_DATA_DIR));
    }
    return dirs;
}

QString Ovra::helpPagePath()
{
    for (const QString &dir : dataDirectories()) {
        const QString page = dir + QStringLiteral("/help/index.html");
        if (QFileInfo(page).isFile())
            return page;
    }
    initIntegrationResources();
    return QString::fromLatin1(compiledHelpPage);
}

QWidget *Ovra::helpWindow()
{
    return s_helpWindow.data();
}

void ovraHelpShow(const QString &topic)
{
    if (!s_helpWindow)
        s_helpWindow = createHelpWindow();

    const QString page = Ovra::helpPagePath();
    QUrl url = page.startsWith(QLatin1Char(':')) ? QUrl(QStringLiteral("qrc") + page)
                                                 : QUrl::fromLocalFile(page);
    if (!topic.isEmpty())
        url.setFragment(topic);
    if (s_helpBrowser->source() != url)
        s_helpBrowser->setSource(url);
    else if (!topic.isEmpty())
        s_helpBrowser->scrollToAnchor(topic);

    s_helpWindow->show();
    s_helpWindow->raise();
    s_helpWindow->activateWindow();
}

void ovraSaveGeometry(QWidget *widget, QSettings &settings, bool withState)
{
    if (!widget)
        return;
    settings.setValue(QLatin1String(geometryKey), widget->saveGeometry());
    if (withState) {
        if (auto *window = qobject_cast<QMainWindow *>(widget))
            settings.setValue(QLatin1String(windowStateKey), window->saveState());
    }
}

void ovraRestoreGeometry(QWidget *widget, QSettings &settings, const QRect &defaultRect,
                         bool withState)
{
    if (!widget)
        return;
    const QByteArray stored = settings.value(QLatin1String(geometryKey)).toByteArray();
    // restoreGeometry() rejects blobs it does not understand; a broken entry
    // then counts as no entry at all.
    const bool restored = isCompleteGeometry(stored) && widget->restoreGeometry(stored);
    if (!restored && !defaultRect.isNull())
        widget->setGeometry(defaultRect);

    if (withState) {
        auto *window = qobject_cast<QMainWindow *>(widget);
        const QByteArray state = settings.value(QLatin1String(windowStateKey)).toByteArray();
        if (window && !state.isEmpty())
            window->restoreState(state);
    }
    Ovra::ensureOnScreen(widget);
}

bool Ovra::ensureOnScreen(QWidget *widget)
{
    if (!widget || !widget->isWindow()
        || (widget->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)))
        return false;

    // Frame margins are known only once the window has been shown; before
    // that the frame is the geometry itself.
    const QRect geometry = widget->geometry();
    const QRect frame = widget->frameGeometry();
    const QMargins margins(geometry.left() - frame.left(), geometry.top() - frame.top(),
                           frame.right() - geometry.right(), frame.bottom() - geometry.bottom());

    const QRect area = availableAreaFor(frame);
    if (area.isEmpty() || area.contains(frame))
        return false;

    QSize size = geometry.size();
    size.setWidth(qMax(1, qMin(size.width(), area.width() - margins.left() - margins.right())));
    size.setHeight(qMax(1, qMin(size.height(), area.height() - margins.top() - margins.bottom())));
    size = size.expandedTo(widget->minimumSize()).boundedTo(widget->maximumSize());

    QRect placed(frame.topLeft(), size.grownBy(margins));
    if (placed.right() > area.right())
        placed.moveRight(area.right());
    if (placed.bottom() > area.bottom())
        placed.moveBottom(area.bottom());
    if (placed.left() < area.left())
        placed.moveLeft(area.left());
    if (placed.top() < area.top())
        placed.moveTop(area.top());

    widget->resize(size);
    widget->move(placed.topLeft());
    return true;
}
