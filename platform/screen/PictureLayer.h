#pragma once

#include <QRegion>
#include <QRgb>
#include <QtGlobal>

// The frozen picture shown on a window by the windowing system itself, in the output's own pixels, where the toolkit
// would draw it as a copy at another scale; the window under it then draws nothing of the picture. Removed with
// the object.
class PictureLayer {
public:
    virtual ~PictureLayer() = default;
    // Shows the band: `strips` (picture pixels; empty: no band) painted in `colour`, and the picture again where the
    // strips shown before were.
    virtual void showBand(const QRegion& strips, QRgb colour) = 0;
};
