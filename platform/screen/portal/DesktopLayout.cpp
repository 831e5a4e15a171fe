#include "platform/screen/portal/DesktopLayout.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <cmath>

QRect screenGeometry(const QScreen* screen, const QSize& root)
{
    QRect geometry = screen->geometry();
    if (root.isValid()) {
        const int right = root.width() - (geometry.x() + geometry.width());
        const int bottom = root.height() - (geometry.y() + geometry.height());
        geometry.adjust(0, 0, right > 0 && right < 8 ? right : 0, bottom > 0 && bottom < 8 ? bottom : 0);
    }
    return geometry;
}

QRect desktopLayout(const QSize& root)
{
    QRect layout;
    for (const QScreen* screen : QGuiApplication::screens()) {
        layout |= screenGeometry(screen, root);
    }
    return layout;
}

QSize desktopDeviceSize(const QSize& root)
{
    QRect devicePixels;
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect logical = screenGeometry(screen, root);
        const double ratio = screen->devicePixelRatio();
        devicePixels |= QRect(QPoint(static_cast<int>(std::lround(logical.x() * ratio)),
                                     static_cast<int>(std::lround(logical.y() * ratio))),
                              (QSizeF(logical.size()) * ratio).toSize());
    }
    return devicePixels.size();
}

bool layoutInDevicePixels(const QDBusConnection& bus)
{
    const QDBusMessage reply =
        bus.call(QDBusMessage::createMethodCall(QStringLiteral("org.gnome.Mutter.DisplayConfig"),
                                                QStringLiteral("/org/gnome/Mutter/DisplayConfig"),
                                                QStringLiteral("org.gnome.Mutter.DisplayConfig"),
                                                QStringLiteral("GetCurrentState")),
                 QDBus::BlockWithGui, 2000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < 4) {
        return false;
    }
    // 1 is the logical layout, 2 the physical one.
    const auto properties = qdbus_cast<QVariantMap>(reply.arguments().at(3));
    return properties.value(QStringLiteral("layout-mode")).toUInt() == 2;
}

QRect primaryInDesktopPicture(const QRect& desktop, const QRect& primary, const QSize& picture)
{
    if (desktop.isEmpty()) {
        return QRect(QPoint(0, 0), picture);
    }
    const double scaleX = static_cast<double>(picture.width()) / desktop.width();
    const double scaleY = static_cast<double>(picture.height()) / desktop.height();
    // Both edges are rounded, so that screens side by side meet without a gap or an overlap.
    const auto edge = [](int logical, int origin, double scale) {
        return static_cast<int>(std::lround((logical - origin) * scale));
    };
    const int x0 = edge(primary.x(), desktop.x(), scaleX);
    const int y0 = edge(primary.y(), desktop.y(), scaleY);
    const int x1 = edge(primary.x() + primary.width(), desktop.x(), scaleX);
    const int y1 = edge(primary.y() + primary.height(), desktop.y(), scaleY);
    return QRect(x0, y0, x1 - x0, y1 - y0);
}

QString implausiblePictureReason(const QSize& picture, const QSize& desktop)
{
    if (desktop.isEmpty()) {
        return {};
    }
    const double across = static_cast<double>(picture.width()) / desktop.width();
    const double down = static_cast<double>(picture.height()) / desktop.height();
    // Each side is rounded on its own, by a pixel at most: sway at 1.5 gives 1280 x 799 for 853 x 533.
    const double slack = 1.0 / std::min(desktop.width(), desktop.height()) + 0.01;
    const bool scaleThere = across >= 0.5 && across <= maxScaleMismatch && down >= 0.5 && down <= maxScaleMismatch;
    if (scaleThere && std::abs(across - down) <= slack * std::max(across, down)) {
        return {};
    }
    return QStringLiteral("is %1 x %2 pixels, which cannot be the desktop of %3 x %4 at any scale, so it was not used")
        .arg(picture.width())
        .arg(picture.height())
        .arg(desktop.width())
        .arg(desktop.height());
}
