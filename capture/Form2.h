#pragma once

#include "capture/OverlayMapping.h"
#include "capture/OverlayPicture.h"
#include "capture/OverlayPointer.h"
#include "capture/PicClip.h"
#include "capture/ShapeRect.h"
#include "imaging/Picture.h"
#include "imaging/modCapture.h"

#include <QCursor>
#include <QPointF>
#include <QRectF>
#include <QWidget>

#include <memory>
#include <optional>

class MainWindowLink;
struct Services;

// The capture overlay: a borderless window over the whole primary screen that shows the frozen picture of the
// screen, draws the rubber band shRect while the user drags, and on release cuts the band's region out of the
// picture and saves it into the output folder.
//
// Mouse positions reach the handlers in twips of the picture's own pixels, which are the output's; the picture is
// drawn unscaled, one picture pixel on one device pixel, wherever the toolkit draws at the output's scale; where it
// does not, the windowing system lays it over the overlay unscaled where it can, and else the overlay draws a scaled
// copy that the compositor scales back (OverlayPicture). The overlay owns itself: it is deleted once it has been
// unloaded.
class Form2 : public QWidget {
    Q_OBJECT
public:
    // `mainWindow` may be null (then nothing is asked of the main window: it counts as showing the BMP option).
    Form2(Services& services, MainWindowLink* mainWindow);
    ~Form2() override;

    // Runs the load handler, then shows the overlay over the primary screen.
    void Show();
    // Gives the overlay the keyboard focus. Throws Failure when it is not shown.
    void SetFocus();
    // Puts a shown overlay above the other windows and gives it the focus.
    void bringForward();
    // Ends the run: hides the overlay, frees the picture and deletes the overlay once no handler is running.
    void Unload();
    bool isUnloaded() const { return m_unloaded; }
    // The overlay of the run under way: shown, or hidden inside one of its handlers (the load, the save).
    static Form2* loaded();

    // The server time of the press on "Start Capturing" that opened the overlay. A press on the overlay within the
    // desktop's double-click interval of it is that click's second half, not the start of a drag, and is ignored
    // together with its release.
    void setOpeningPress(std::optional<quint64> time) { m_pointer.setOpeningPress(time); }

    void Form_Load();
    void Form_Activate();
    // Button: 1 left, 2 right, 4 middle (for a move, those of the held buttons added up). X, Y: twips.
    void Form_MouseDown(qint16 Button, qint16 Shift, float X, float Y);
    void Form_MouseMove(qint16 Button, qint16 Shift, float X, float Y);
    void Form_MouseUp(qint16 Button, qint16 Shift, float X, float Y);

    // The twips in one device pixel and the screen's size, as measured by the load's grab; until then, or when the
    // screen could not be measured, as the toolkit sees the overlay's screen.
    const ScreenObject& screen() const { return m_screen; }

    // The band and the pointer as the handlers left them, and where the band is drawn: what a user sees of a drag.
    struct BandView {
        QRectF shape;         // shRect: Left, Top, Width, Height in twips
        bool visible = false; // shRect is shown
        bool dragging = false;
        QPointF anchor;  // twips: where the drag began
        QPointF pointer; // twips: where the pointer last moved
        QRect drawn;     // the picture pixels the band is drawn on; empty while it is hidden
    };
    BandView band() const;

    // Whether the frozen screen (then the cut-out region) is there: not when the grab failed. Its size in pixels;
    // empty without one.
    bool hasPicture() const { return Picture != nullptr; }
    QSize pictureSize() const { return Picture ? QSize(Picture->width(), Picture->height()) : QSize(); }

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // One of shRect's numbers (twips) read in the coordinate unit ScaleMode names: 1 twips, 3 pixels.
    float inScaleMode(float twips, float twipsPerPixel) const;
    bool isBandTooSmall() const;
    void pictureChanged();
    // The logical pixels to paint again for the drawn band to follow `shape`: none where another surface shows it.
    QRegion followBand(const ShapeRect& shape);
    void syncBand();
    void hideWithoutBand();
    void prepareWindow();
    void abandon();
    MainWindowLink& mainWindow() const;
    const ::Picture& picture() const;

    std::unique_ptr<::Picture> Picture; // the frozen screen, then the cut-out region; null when the grab failed
    qint16 ScaleMode = 1;
    qint16 DragState = 0; // 1: no drag under way; 0: dragging
    float AnchorX = 0;    // twips
    float AnchorY = 0;
    float PointerX = 0;
    float PointerY = 0;
    ShapeRect shRect;
    ::PicClip PicClip;
    QCursor MouseIcon; // kept as loaded; the overlay shows the crosshair

    Services& m_services;
    MainWindowLink* m_mainWindow;
    ScreenObject m_screen;
    PictureScale m_scale;   // the picture's pixels per logical pixel
    OverlayPicture m_shown; // the picture and the band as they reach the screen
    OverlayPointer m_pointer;
    int m_handlerDepth = 0;
    bool m_unloaded = false;
    bool m_grabbing = false;
    bool m_painted = false;
};
