#pragma once

#include <QtGlobal>
#include <qnamespace.h>

#include <optional>

class QMouseEvent;
struct PictureScale;
struct ScreenObject;

// A mouse event as the overlay's handlers take it: Button 1 left, 2 right, 4 middle (for a move, those held added
// up), Shift 1 Shift, 2 Ctrl, 4 Alt, X and Y in twips.
struct MouseArguments {
    qint16 Button = 0;
    qint16 Shift = 0;
    float X = 0;
    float Y = 0;
};

// Turns the overlay's mouse events into its handlers' arguments. Positions are read in the picture's pixels (the
// position in the window times the picture's scale), and turned into twips with the screen's twips per pixel. The
// second half of the double click that opened the overlay is left out, press and release.
class OverlayPointer {
public:
    // The server time of the press on "Start Capturing" that opened the overlay; none when unknown.
    void setOpeningPress(std::optional<quint64> time) { m_openingPress = time; }

    // Nothing when the press goes to no handler: a button the handlers do not know, or a press within the desktop's
    // double-click interval (milliseconds) of the opening press, whose release is then left out too.
    std::optional<MouseArguments> press(const QMouseEvent& event, const ScreenObject& screen, PictureScale scale,
                                        int doubleClickInterval);
    std::optional<MouseArguments> release(const QMouseEvent& event, const ScreenObject& screen, PictureScale scale);
    static MouseArguments move(const QMouseEvent& event, const ScreenObject& screen, PictureScale scale);

private:
    bool isSecondHalfOfOpeningClick(const QMouseEvent& event, int doubleClickInterval) const;

    std::optional<quint64> m_openingPress;
    Qt::MouseButtons m_ignoredButtons; // pressed in the opening double click and not released yet
};
