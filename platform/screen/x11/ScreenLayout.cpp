#include "platform/screen/x11/ScreenLayout.h"

#include "platform/screen/x11/XcbSupport.h"

#include <cstdint>

int ScreenLayout::strideFor(int width) const
{
    const std::int64_t rowBits = std::int64_t{width} * bitsPerPixel;
    return static_cast<int>((rowBits + scanlinePad - 1) / scanlinePad * scanlinePad / 8);
}

ScreenLayout layoutFor(const xcb_setup_t* setup, const xcb_screen_t* screen)
{
    const int depth = screen->root_depth;
    ScreenLayout layout;
    bool known = false;
    for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem; xcb_format_next(&f)) {
        if (f.data->depth == depth) {
            layout.bitsPerPixel = f.data->bits_per_pixel;
            layout.scanlinePad = f.data->scanline_pad;
            known = true;
        }
    }
    const xcb_visualtype_t* visual = nullptr;
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem && !visual; xcb_depth_next(&d)) {
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
            if (v.data->visual_id == screen->root_visual) {
                visual = v.data;
                break;
            }
        }
    }
    const bool littleEndian = setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    const auto masks = [&](std::uint32_t r, std::uint32_t g, std::uint32_t b) {
        return visual && visual->red_mask == r && visual->green_mask == g && visual->blue_mask == b;
    };
    if (known && (depth == 24 || depth == 32) && layout.bitsPerPixel == 32 && littleEndian &&
        masks(0xff0000, 0x00ff00, 0x0000ff)) {
        layout.format = PixelFormat::Bgrx32;
        return layout;
    }
    if (known && depth == 16 && layout.bitsPerPixel == 16 && littleEndian && masks(0xf800, 0x07e0, 0x001f)) {
        layout.format = PixelFormat::Rgb565;
        return layout;
    }
    // A palette display: the pixel is an index into the 256 entries of the colormap.
    if (known && depth == 8 && layout.bitsPerPixel == 8 && visual && visual->_class <= XCB_VISUAL_CLASS_PSEUDO_COLOR &&
        visual->colormap_entries == 256) {
        layout.format = PixelFormat::Indexed8;
        layout.hasPalette = true;
        return layout;
    }
    failToReadScreen(QStringLiteral("a display of depth %1 with %2 bits per pixel is not supported")
                         .arg(depth)
                         .arg(layout.bitsPerPixel));
}
