// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

// Saves a picture of the X screen, cut to the part that holds windows (the
// bare background is left out): the sandbox uses it to show what the program
// displays under Xvfb.
//
//   ovra-sandbox-screenshot [--full] OUTPUT.png

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QRect>
#include <QScreen>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QStringList arguments = app.arguments();
    const bool full = arguments.removeAll(QStringLiteral("--full")) > 0;
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: %s [--full] OUTPUT.png\n", argv[0]);
        return 2;
    }
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen) {
        std::fputs("ovra-sandbox-screenshot: no screen\n", stderr);
        return 1;
    }
    QImage picture = screen->grabWindow(0).toImage();
    if (!full && !picture.isNull()) {
        // The background has the colour of the bottom right corner.
        const QRgb background = picture.pixel(picture.width() - 1, picture.height() - 1);
        picture = picture.convertToFormat(QImage::Format_RGB32);
        int left = picture.width(), top = picture.height(), right = -1, bottom = -1;
        for (int y = 0; y < picture.height(); ++y) {
            const QRgb *line = reinterpret_cast<const QRgb *>(picture.constScanLine(y));
            for (int x = 0; x < picture.width(); ++x) {
                if ((line[x] & 0xffffff) == (background & 0xffffff))
                    continue;
                left = qMin(left, x);
                right = qMax(right, x);
                top = qMin(top, y);
                bottom = qMax(bottom, y);
            }
        }
        if (right >= 0) {
            const QRect used =
                QRect(QPoint(left, top), QPoint(right, bottom)).adjusted(-4, -4, 4, 4);
            picture = picture.copy(used & picture.rect());
        }
    }
    if (picture.isNull() || !picture.save(arguments.at(1), "PNG")) {
        std::fprintf(stderr, "ovra-sandbox-screenshot: cannot save %s\n",
                     qPrintable(arguments.at(1)));
        return 1;
    }
    return 0;
}
