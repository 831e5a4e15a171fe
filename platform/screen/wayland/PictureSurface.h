#pragma once

#include "platform/screen/PictureLayer.h"

#include <QRegion>

#include <memory>

class PixelBuffer;
class QSize;
struct wl_display;
struct wl_surface;

// The frozen picture on a surface of the program's own on the toolkit's Wayland connection: a subsurface above the
// window's surface that takes no input, its buffer the picture's pixels at buffer scale 1, laid by the compositor's
// viewporter over the window's logical size (see pictureSpan), so that each picture pixel lands on one output pixel
// where the toolkit would draw at the next whole scale and the compositor scale the window back. The band is drawn
// into the same pixels, in two buffers taken in turn, each brought up to date where the band was and is. Requests and
// events go through a queue of its own.
class PictureSurface final : public PictureLayer {
public:
    // Null where the compositor lacks the subsurfaces, the viewporter or shared memory, where the picture is not 32-bit
    // or memory for it cannot be had. `picture` is read until the surface is gone; `parent` is the window's surface,
    // `logical` its size in logical pixels.
    static std::unique_ptr<PictureSurface> create(wl_display* display, wl_surface* parent, const QSize& logical,
                                                  const PixelBuffer& picture);
    ~PictureSurface() override;
    PictureSurface(const PictureSurface&) = delete;
    PictureSurface& operator=(const PictureSurface&) = delete;

    void showBand(const QRegion& strips, QRgb colour) override;

private:
    struct State;
    explicit PictureSurface(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

// How a picture `pixels` long is laid over a window `logical` pixels long, each as long as the output: over `logical`
// pixels of its own surface, from a buffer `pixels` long, the picture's and past the output's end a few more.
struct PictureSpan {
    int logical = 0;
    int pixels = 0;
    bool operator==(const PictureSpan&) const = default;
};

// At scale s a compositor lays an output `pixels` long out as about pixels / s logical pixels, and shows a surface
// D logical pixels long on D * s output pixels, which mutter draws at fractions of a pixel where that is no whole
// number. The span is the least D that covers the output and that s turns into whole pixels, so that the buffer's
// pixels land on the output's one on one everywhere; what lies past the output's end is not seen. The scale is not
// told (the toolkit sees only the next whole one); compositors offer scales in 120ths, among them every eighth and
// every twentieth, so the one nearest pixels / logical is taken where it gives back `logical` within a pixel (KWin's
// picture at 1.75 is a pixel narrower than the output). Else the output is taken to be a whole number of logical
// pixels, as where mutter picks a scale that makes it one, and the span is the window's.
PictureSpan pictureSpan(int pixels, int logical);

// Brings `target`, a copy of `picture` with the band `before` drawn on it, to the band `after`: the picture again
// under the strips of `before`, then `colour` on those of `after`, both within the picture. Both are 32-bit and of
// one size; otherwise nothing is drawn.
void redrawBand(PixelBuffer& target, const PixelBuffer& picture, const QRegion& before, const QRegion& after,
                QRgb colour);
