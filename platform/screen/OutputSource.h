#pragma once

#include <QString>

class QImage;
class QScreen;

// A desktop's own way to hand over one output's picture, beside the portal that every Wayland desktop has: the
// output's pixels as the compositor has them, without a file in between and without the pointer where the desktop
// lets it be left out.
class OutputSource {
public:
    virtual ~OutputSource() = default;
    // The picture of `screen`'s output in the output's own pixels, in QImage::Format_RGB32. Throws Failure, saying
    // why, when the source is not there, refuses, or hands over no whole picture; the caller then asks the portal.
    virtual QImage picture(const QScreen& screen) = 0;
    // Whatever only the first picture would pay (binding, memory), done while no one waits. Never throws.
    virtual void warmUp(const QScreen& /*screen*/) {}
    // How reports name the picture: "of KWin's screen".
    virtual QString pictureName() const = 0;
};
