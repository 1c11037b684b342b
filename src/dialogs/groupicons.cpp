// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialogs/groupicons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace qm {

namespace {

QPixmap canvas(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

// A round badge: newsgroups are drawn as coloured discs with a mark.
QIcon badge(QColor fill, QColor mark, bool tick, bool arrow) {
    QPixmap pixmap = canvas(16);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(fill.darker(150), 1));
    p.setBrush(fill);
    p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
    p.setPen(QPen(mark, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    if (tick) p.drawPolyline(QPolygonF({QPointF(4.5, 8), QPointF(7, 10.5), QPointF(11.5, 5)}));
    if (arrow) {
        p.drawLine(QPointF(4.5, 8), QPointF(11, 8));
        p.drawPolyline(QPolygonF({QPointF(8.5, 5), QPointF(11.5, 8), QPointF(8.5, 11)}));
    }
    return QIcon(pixmap);
}

QIcon folder(bool up) {
    QPixmap pixmap = canvas(16);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QColor(150, 110, 20));
    p.setBrush(QColor(240, 200, 90));
    p.drawRect(QRectF(1.5, 4.5, 13, 9));
    p.drawRect(QRectF(1.5, 2.5, 5, 2));
    if (up) {
        p.setPen(QPen(Qt::black, 1.5));
        p.drawLine(QPointF(8, 12), QPointF(8, 6.5));
        p.drawPolyline(QPolygonF({QPointF(5.5, 9), QPointF(8, 6.5), QPointF(10.5, 9)}));
    }
    return QIcon(pixmap);
}

}  // namespace

QIcon groupIcon(GroupIcon kind) {
    static const QIcon icons[] = {
        badge(QColor(170, 170, 170), Qt::white, false, false),
        badge(QColor(40, 140, 60), Qt::white, true, false),
        badge(QColor(40, 90, 190), Qt::white, false, true),
    };
    return icons[static_cast<int>(kind)];
}

QIcon programIcon() {
    static const QIcon icon = [] {
        QPixmap pixmap = canvas(64);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(QColor(30, 60, 120));
        p.setPen(Qt::NoPen);
        p.drawRoundedRect(QRectF(4, 4, 56, 56), 10, 10);
        p.setBrush(QColor(250, 220, 120));  // a small framed picture with a quill stroke
        p.drawRect(QRectF(14, 16, 36, 28));
        p.setBrush(QColor(80, 160, 90));
        p.drawPolygon(QPolygonF(
            {QPointF(14, 44), QPointF(28, 28), QPointF(38, 38), QPointF(44, 32), QPointF(50, 44)}));
        p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(20, 54), QPointF(50, 10));
        return QIcon(pixmap);
    }();
    return icon;
}

QIcon folderIcon() {
    return folder(false);
}
QIcon parentFolderIcon() {
    return folder(true);
}

QIcon volumeIcon() {
    QPixmap pixmap = canvas(16);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QColor(60, 60, 60));
    p.setBrush(QColor(200, 200, 210));
    p.drawRoundedRect(QRectF(1.5, 5.5, 13, 6), 1.5, 1.5);
    p.setBrush(QColor(60, 200, 60));
    p.drawEllipse(QRectF(11, 8, 2, 2));
    return QIcon(pixmap);
}

}  // namespace qm
