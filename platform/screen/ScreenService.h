#pragma once

#include "platform/screen/PixelBuffer.h"

#include <QRect>

#include <vector>

// What the system knows of the primary screen.
struct ScreenMetrics {
    QRect deviceGeometry;      // the primary monitor in device pixels, in root-window coordinates
    double logicalDpiX = 96.0; // logical dots per inch as the toolkit reports them
    double logicalDpiY = 96.0;
    double devicePixelRatio = 1.0; // device pixels per logical pixel
};

// A grabbed block of screen pixels with the palette in effect (empty when the display has none).
struct ScreenPixels {
    PixelBuffer bitmap;
    std::vector<PaletteEntry> palette;
};

// The primary screen: its metrics and a copy of its pixels.
class ScreenService {
public:
    virtual ~ScreenService() = default;
    virtual ScreenMetrics metrics() = 0;
    // Copies width x height device pixels whose top-left corner is (left, top) relative to the primary
    // monitor's top-left corner, in the screen's own format. Throws Failure when the pixels cannot be read.
    virtual ScreenPixels grabArea(int left, int top, int width, int height) = 0;
    // A grab is likely soon (the pointer is over the button that starts one): whatever makes the first grab slow
    // can be done now, while no one waits for it. Never throws; by default there is nothing to do.
    virtual void prepare() {}
};
