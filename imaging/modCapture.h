#pragma once

#include "imaging/Picture.h"

#include <memory>

class ScreenService;

// The screen as the system measures it: sizes in twips (1/1440 inch) and the twips in one device pixel.
struct ScreenObject {
    float Width = 0;           // twips
    float Height = 0;          // twips
    float TwipsPerPixelX = 15; // twips per device pixel: 1440 / (logical DPI x device pixel ratio)
    float TwipsPerPixelY = 15;
};

struct ScreenMetrics;

ScreenObject screenObject(ScreenService& screen);
ScreenObject screenObject(const ScreenMetrics& metrics);

// A picture of the whole primary screen, one picture pixel per device pixel.
std::unique_ptr<Picture> GrabScreen(ScreenService& screen);

// A picture of width x height pixels from (left, top) relative to the primary screen's top-left corner.
std::unique_ptr<Picture> GrabWindowArea(ScreenService& screen, int left, int top, int width, int height);

// Wraps pixels and their palette (empty when the display has none) into a picture that owns both.
std::unique_ptr<Picture> PictureFromBitmap(PixelBuffer bitmap, std::vector<PaletteEntry> palette);
