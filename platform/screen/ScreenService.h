#pragma once

#include "platform/screen/PixelBuffer.h"
#include "platform/screen/WindowHandling.h"

#include <QRect>

#include <memory>
#include <vector>

class QWidget;

// What the system knows of the primary screen.
struct ScreenMetrics {
    QRect deviceGeometry;      // the primary monitor in device pixels, in root-window coordinates
    double logicalDpiX = 96.0; // logical dots per inch as the toolkit reports them
    double logicalDpiY = 96.0;
    double devicePixelRatio = 1.0; // device pixels per logical pixel, across
    // Down, where it differs from across: a compositor's picture sized from a rounded logical size (sway at 1.5 gives
    // 1280 x 799 pixels for 853 x 533 logical ones). 0: as across.
    double devicePixelRatioY = 0.0;

    double ratioY() const { return devicePixelRatioY > 0 ? devicePixelRatioY : devicePixelRatio; }
};

// A grabbed block of screen pixels with the palette in effect (empty when the display has none).
struct ScreenPixels {
    PixelBuffer bitmap;
    std::vector<PaletteEntry> palette;
};

// `rect`, in pixels of an area `from` pixels large, in pixels of the same area `to` pixels large: the same where the
// sizes agree, else each edge scaled and rounded, so that the whole maps onto the whole; a pixel is at least a pixel.
QRect scaledEdges(const QRect& rect, const QSize& from, const QSize& to);

// The primary screen: its metrics and a copy of its pixels.
class ScreenService {
public:
    // `windows` handles the program's windows on the windowing system this screen is read on; null: the toolkit's
    // ways.
    explicit ScreenService(std::unique_ptr<WindowHandling> windows = nullptr);
    virtual ~ScreenService();
    ScreenService(const ScreenService&) = delete;
    ScreenService& operator=(const ScreenService&) = delete;
    virtual ScreenMetrics metrics() = 0;
    // Copies width x height device pixels whose top-left corner is (left, top) relative to the primary
    // monitor's top-left corner, in the screen's own format. Throws Failure when the pixels cannot be read.
    // The area is read in the pixels that metrics() gives at the call. A screen that learns its own pixels only from
    // the picture (a portal's, at an output scale the toolkit does not draw at) delivers the area in those, mapped
    // edge for edge, so the buffer may differ in size from the one asked for; metrics() gives them from then on.
    virtual ScreenPixels grabArea(int left, int top, int width, int height) = 0;
    // A grab is likely soon (the pointer is over the button that starts one): whatever makes the first grab slow
    // can be done now, while no one waits for it. Never throws; by default there is nothing to do.
    virtual void prepare() {}
    // The program has started and waits for its user: whatever only the first grab of a process pays, and that can
    // be done without holding memory for a screen, is done now. Never throws; by default there is nothing to do.
    virtual void warmUp() {}

    // The program's own top-level windows, handled as the windowing system that this screen is read on lets them be
    // (see WindowHandling). A window that is not shown, or not a top-level window, is only hidden.
    void hideWindow(QWidget& window);
    // Shows a top-level window above the others, gives it the focus, and returns once the windowing system has put it
    // on the screen, or after a second: a window shown next, such as a box of its own, then comes after it on every
    // desktop, also where the desktop puts the window it mapped last on top.
    void showWindow(QWidget& window);
    void setTopmost(QWidget& window, bool topmost);
    void keepOffTaskbar(QWidget& window);
    // The picture laid over `window` by the windowing system, unscaled (see WindowHandling); null where it cannot be.
    virtual std::unique_ptr<PictureLayer> showPicture(QWidget& window, const PixelBuffer& picture);

private:
    std::unique_ptr<WindowHandling> m_windows;
};
