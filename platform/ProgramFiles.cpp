#include "platform/ProgramFiles.h"

#include <QCoreApplication>
#include <QIcon>
#include <QPainter>
#include <QPixmap>

QString programFolder()
{
    return QCoreApplication::applicationDirPath();
}

QIcon programIcon()
{
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(QColor(0x20, 0x60, 0xc0), size / 16.0 + 1));
        painter.drawRect(QRectF(size * 0.15, size * 0.15, size * 0.7, size * 0.7));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}
