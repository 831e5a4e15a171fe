#pragma once

#include "platform/screen/PixelBuffer.h"

struct xcb_setup_t;
struct xcb_screen_t;

// How the root window keeps its pixels.
struct ScreenLayout {
    PixelFormat format = PixelFormat::Bgrx32;
    int bitsPerPixel = 32;
    int scanlinePad = 32; // bits; every row of an image the server sends is padded to this
    bool hasPalette = false;

    // Bytes in one row of an image of `width` pixels as the server sends it.
    int strideFor(int width) const;
};

// The one place where a depth becomes a PixelFormat: 24 and 32 bits BGRX, 16 bits 5-6-5, 8 bits a palette index.
// Throws Failure for any other layout.
ScreenLayout layoutFor(const xcb_setup_t* setup, const xcb_screen_t* screen);
