#include "capture/OverlayWindow.h"

#include "platform/files/ProgramFiles.h"

#include <QBackingStore>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <QWidget>

void placeOnPrimaryScreen(QWidget& window)
{
    if (QScreen* primary = QGuiApplication::primaryScreen()) {
        window.setScreen(primary);
        window.setGeometry(primary->geometry());
    }
}

bool drawBufferAhead(QWidget& window)
{
    QBackingStore* store = window.backingStore();
    if (!store) {
        return false;
    }
    const QRect area(QPoint(0, 0), window.size());
    store->resize(area.size());
    store->beginPaint(area);
    if (QPaintDevice* device = store->paintDevice()) {
        QPainter painter(device);
        painter.fillRect(area, Qt::black);
    }
    store->endPaint();
    return true;
}

void addLargeIconSizesSoon(QWidget& window)
{
    QTimer::singleShot(0, &window, [&window] {
        if (!window.windowIcon().isNull()) {
            window.setWindowIcon(programIcon());
        }
    });
}
