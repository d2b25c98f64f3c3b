#include "ui/Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace kestrel {
namespace {

QImage Blank() {
    QImage img(16, 16, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
}

}  // namespace

QImage ExitDoorImage() {
    QImage img = Blank();
    QPainter p(&img);
    // Door frame and the door standing open towards the viewer.
    p.setPen(QColor(64, 40, 16));
    p.setBrush(QColor(150, 100, 50));
    p.drawRect(8, 1, 6, 13);
    p.setBrush(QColor(200, 150, 80));
    const QPoint leaf[] = {{8, 1}, {12, 3}, {12, 15}, {8, 14}};
    p.drawPolygon(leaf, 4);
    p.setPen(QColor(250, 220, 60));
    p.drawPoint(11, 9);
    // The arrow pointing left, out of the door.
    p.setPen(QPen(QColor(0, 110, 0), 2));
    p.drawLine(2, 8, 9, 8);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 140, 0));
    const QPoint head[] = {{0, 8}, {4, 4}, {4, 12}};
    p.drawPolygon(head, 3);
    return img;
}

QImage OpenFolderImage() {
    QImage img = Blank();
    QPainter p(&img);
    p.setPen(QColor(120, 90, 0));
    // The back of the folder with its tab.
    p.setBrush(QColor(220, 180, 60));
    const QPoint back[] = {{1, 3}, {5, 3}, {6, 4}, {12, 4}, {12, 13}, {1, 13}};
    p.drawPolygon(back, 6);
    // A sheet sticking out.
    p.setBrush(Qt::white);
    p.drawRect(3, 5, 8, 5);
    // The front flap, tilted open.
    p.setBrush(QColor(250, 215, 90));
    const QPoint front[] = {{1, 13}, {4, 7}, {15, 7}, {12, 13}};
    p.drawPolygon(front, 4);
    return img;
}

QImage ViewerImage() {
    QImage img = Blank();
    QPainter p(&img);
    // The document with a folded corner and lines of text.
    p.setPen(QColor(80, 80, 80));
    p.setBrush(Qt::white);
    const QPoint sheet[] = {{1, 0}, {8, 0}, {11, 3}, {11, 14}, {1, 14}};
    p.drawPolygon(sheet, 5);
    p.drawLine(8, 0, 8, 3);
    p.drawLine(8, 3, 11, 3);
    p.setPen(QColor(90, 90, 200));
    for (int y = 4; y <= 11; y += 2) p.drawLine(3, y, 7, y);
    // The magnifier: lens over the lower right, handle to the corner.
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(40, 40, 40), 1.5));
    p.setBrush(QColor(170, 220, 255, 200));
    p.drawEllipse(QRectF(6.5, 6.5, 6, 6));
    p.setPen(QPen(QColor(90, 50, 10), 2.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(12, 12), QPointF(15, 15));
    return img;
}

QIcon IconOf(const QImage& image) { return QIcon(QPixmap::fromImage(image)); }

}  // namespace kestrel
