// SPDX-License-Identifier: GPL-2.0-or-later
// SPDX-FileCopyrightText: 2026 Ovra admin usbip developers

#include "ovraicon.h"

#include <QIconEngine>
#include <QPainter>
#include <QPixmap>

namespace {

class OverlayIconEngine : public QIconEngine
{
public:
    OverlayIconEngine(const QIcon &base, Qt::Corner corner, const QIcon &overlay,
                      std::function<int(int)> sizeFunction)
        : m_base(base)
        , m_overlay(overlay)
        , m_corner(corner)
        , m_sizeFunction(std::move(sizeFunction))
    {
    }

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        m_base.paint(painter, rect, Qt::AlignCenter, mode, state);
        const QRect target = overlayRect(rect);
        if (!target.isEmpty())
            m_overlay.paint(painter, target, Qt::AlignCenter, mode, state);
    }

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        QPixmap result(size);
        result.fill(Qt::transparent);
        if (size.isEmpty())
            return result;
        QPainter painter(&result);
        paint(&painter, QRect(QPoint(0, 0), size), mode, state);
        return result;
    }

    QSize actualSize(const QSize &size, QIcon::Mode, QIcon::State) override { return size; }

    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) const override
    {
        return m_base.availableSizes(mode, state);
    }

    QString key() const override { return QStringLiteral("OvraOverlayIconEngine"); }

    QIconEngine *clone() const override
    {
        return new OverlayIconEngine(m_base, m_corner, m_overlay, m_sizeFunction);
    }

private:
    QRect overlayRect(const QRect &rect) const
    {
        const int edge = qMin(rect.width(), rect.height());
        int side = m_sizeFunction ? m_sizeFunction(edge) : edge / 2;
        side = qMin(side, edge);
        if (side <= 0)
            return QRect();
        QRect target(0, 0, side, side);
        switch (m_corner) {
        case Qt::TopLeftCorner:
            target.moveTopLeft(rect.topLeft());
            break;
        case Qt::TopRightCorner:
            target.moveTopRight(rect.topRight());
            break;
        case Qt::BottomLeftCorner:
            target.moveBottomLeft(rect.bottomLeft());
            break;
        case Qt::BottomRightCorner:
            target.moveBottomRight(rect.bottomRight());
            break;
        }
        return target;
    }

    QIcon m_base;
    QIcon m_overlay;
    Qt::Corner m_corner;
    std::function<int(int)> m_sizeFunction;
};

} // namespace

QIcon OvraIcon::withOverlay(const QIcon &base, Qt::Corner corner, const QIcon &overlay,
                            std::function<int(int)> sizeFunction)
{
    return QIcon(new OverlayIconEngine(base, corner, overlay, std::move(sizeFunction)));
}
