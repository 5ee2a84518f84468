// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#pragma once

#include <QIcon>

#include <functional>

namespace OvraIcon {

// An icon drawing `overlay` over `base` in `corner`. For every size the icon
// is asked for, the overlay is drawn with the edge length that
// `sizeFunction` returns for the base's edge length (clamped to the base);
// a result of zero or less draws the base alone. Without a size function
// the overlay takes half of the base.
QIcon withOverlay(const QIcon &base, Qt::Corner corner, const QIcon &overlay,
                  std::function<int(int)> sizeFunction);

} // namespace OvraIcon
