// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

// The program's own icons ("rud-devices", "rud-device", "rud-off",
// "device-device") are installed into the hicolor theme. So that they are also
// found when the program runs uninstalled (from the build tree or a sandbox),
// the same SVG files are compiled into the binary and registered as the icon
// loader's last resort: QIcon::fromTheme() still prefers any icon of the same
// name that the desktop's theme (or the installed hicolor copy) provides.
//
// When no icon theme is set at all (no desktop theme, e.g. the offscreen
// platform), the theme is set to "hicolor", so that the lookup takes place.
//
// Call once, after the QGuiApplication/QApplication exists and before the first
// QIcon::fromTheme(). Calling it again does nothing more.
void ovraInstallIconFallback();

// The resource folder that holds the compiled-in icons (":/ovra/icons").
const char *ovraIconFallbackPath();
