#include "capture/OverlayMapping.h"

#include <cmath>

qint16 mouseButtonCode(Qt::MouseButtons buttons)
{
    qint16 code = 0;
    if (buttons & Qt::LeftButton) {
        code |= 1;
    }
    if (buttons & Qt::RightButton) {
        code |= 2;
    }
    if (buttons & Qt::MiddleButton) {
        code |= 4;
    }
    return code;
}

qint16 shiftKeyCode(Qt::KeyboardModifiers modifiers)
{
    qint16 code = 0;
    if (modifiers & Qt::ShiftModifier) {
        code |= 1;
    }
    if (modifiers & Qt::ControlModifier) {
        code |= 2;
    }
    if (modifiers & Qt::AltModifier) {
        code |= 4;
    }
    return code;
}

QRect devicePixelsOf(const QRect& logical, qreal devicePixelRatio)
{
    const auto left = static_cast<int>(std::floor(logical.x() * devicePixelRatio));
    const auto top = static_cast<int>(std::floor(logical.y() * devicePixelRatio));
    const auto right = static_cast<int>(std::ceil((logical.x() + logical.width()) * devicePixelRatio));
    const auto bottom = static_cast<int>(std::ceil((logical.y() + logical.height()) * devicePixelRatio));
    return QRect(left, top, right - left, bottom - top);
}

QRect logicalCoverOf(const QRect& device, qreal devicePixelRatio)
{
    const auto left = static_cast<int>(std::floor(device.x() / devicePixelRatio)) - 1;
    const auto top = static_cast<int>(std::floor(device.y() / devicePixelRatio)) - 1;
    const auto right = static_cast<int>(std::ceil((device.x() + device.width()) / devicePixelRatio)) + 1;
    const auto bottom = static_cast<int>(std::ceil((device.y() + device.height()) / devicePixelRatio)) + 1;
    return QRect(left, top, right - left, bottom - top);
}
