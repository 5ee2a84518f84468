// Saves a picture of the whole X screen: the sandbox uses it to show what
// the program displays under Xvfb.
//
//   ovra-sandbox-screenshot OUTPUT.png

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen) {
        std::fputs("ovra-sandbox-screenshot: no screen\n", stderr);
        return 1;
    }
    const QPixmap picture = screen->grabWindow(0);
    if (picture.isNull() || !picture.save(arguments.at(1), "PNG")) {
        std::fprintf(stderr, "ovra-sandbox-screenshot: cannot save %s\n", qPrintable(arguments.at(1)));
        return 1;
    }
    return 0;
}
