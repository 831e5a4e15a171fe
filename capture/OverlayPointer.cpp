#include "capture/OverlayPointer.h"

#include "capture/OverlayMapping.h"
#include "imaging/modCapture.h"

#include <QMouseEvent>

#include <algorithm>

namespace {

MouseArguments argumentsFor(const QMouseEvent& event, qint16 button, const ScreenObject& screen, PictureScale scale)
{
    // The event's position in the widget is rounded to whole logical pixels, which at a fractional or double scale
    // no longer name one device pixel; its position in the window is the position as the server gave it, only
    // divided by the toolkit's scale. The overlay is a window of its own, so the two places coincide. Times the
    // picture's own scale, it is where the pointer was on the output.
    const QPointF device(event.scenePosition().x() * scale.x, event.scenePosition().y() * scale.y);
    return {button, shiftKeyCode(event.modifiers()), static_cast<float>(device.x() * screen.TwipsPerPixelX),
            static_cast<float>(device.y() * screen.TwipsPerPixelY)};
}

} // namespace

bool OverlayPointer::isSecondHalfOfOpeningClick(const QMouseEvent& event, int doubleClickInterval) const
{
    if (!m_openingPress) {
        return false;
    }
    // Server times are 32-bit milliseconds that wrap around; the difference is taken in the same width.
    const auto since = static_cast<quint32>(event.timestamp()) - static_cast<quint32>(*m_openingPress);
    return since < static_cast<quint32>(std::max(0, doubleClickInterval));
}

std::optional<MouseArguments> OverlayPointer::press(const QMouseEvent& event, const ScreenObject& screen,
                                                    PictureScale scale, int doubleClickInterval)
{
    const qint16 button = mouseButtonCode(event.button());
    if (button == 0) {
        return std::nullopt;
    }
    if (isSecondHalfOfOpeningClick(event, doubleClickInterval)) {
        m_ignoredButtons |= event.button();
        return std::nullopt;
    }
    return argumentsFor(event, button, screen, scale);
}

std::optional<MouseArguments> OverlayPointer::release(const QMouseEvent& event, const ScreenObject& screen,
                                                      PictureScale scale)
{
    const qint16 button = mouseButtonCode(event.button());
    if (button == 0) {
        return std::nullopt;
    }
    if (m_ignoredButtons.testFlag(event.button())) {
        m_ignoredButtons &= ~event.button();
        return std::nullopt;
    }
    return argumentsFor(event, button, screen, scale);
}

MouseArguments OverlayPointer::move(const QMouseEvent& event, const ScreenObject& screen, PictureScale scale)
{
    return argumentsFor(event, mouseButtonCode(event.buttons()), screen, scale);
}
