// Draws the program's hand pointer and writes it as a Windows cursor file, so that the build can put HAND-M.CUR
// beside the program. Usage: make_hand_cursor OUTPUT.cur [PREVIEW.png]

#include "platform/files/CursorFile.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QSaveFile>

#include <cstdio>

namespace {

// A rounded finger between two points across its width, in pixels of a 32 x 32 pointer.
QPainterPath finger(double left, double top, double width, double height)
{
    QPainterPath path;
    path.addRoundedRect(QRectF(left, top, width, height), width / 2, width / 2);
    return path;
}

QImage drawHand()
{
    QPainterPath hand = finger(9.5, 0.5, 5, 18);  // the pointing finger; its tip is the hotspot
    hand = hand.united(finger(14, 9.5, 4.5, 11)); // the folded fingers
    hand = hand.united(finger(18, 10.5, 4.5, 10.5));
    hand = hand.united(finger(22, 12, 4.5, 9.5));
    QPainterPath thumb;
    thumb.moveTo(10.5, 17);
    thumb.lineTo(5.5, 13.5);
    thumb.cubicTo(3.5, 12.5, 1.5, 14.5, 3, 16.5);
    thumb.lineTo(9, 24);
    thumb.closeSubpath();
    hand = hand.united(thumb);
    QPainterPath palm;
    palm.addRoundedRect(QRectF(8.5, 14, 18, 16.5), 4, 4);
    hand = hand.united(palm).simplified();

    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::white);
    painter.setPen(QPen(Qt::black, 1.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPath(hand);
    // Creases between the folded fingers.
    painter.setPen(QPen(QColor(0x40, 0x40, 0x40), 1.0, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(18.25, 14), QPointF(18.25, 19));
    painter.drawLine(QPointF(22.25, 15), QPointF(22.25, 20));
    painter.end();
    return image;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.cur [PREVIEW.png]\n", argv[0]);
        return 2;
    }
    const QImage hand = drawHand();
    QSaveFile file(QString::fromLocal8Bit(argv[1]));
    const QByteArray bytes = encodeCursorFile(hand, QPoint(12, 1));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
        return 1;
    }
    if (argc > 2 && !hand.scaled(256, 256).save(QString::fromLocal8Bit(argv[2]))) {
        return 1;
    }
    return 0;
}
