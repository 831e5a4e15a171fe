#pragma once

#include <QtGlobal>

#include <memory>

class Picture;

// The clipping component: holds a source picture and a rectangle in its pixels, and hands out a copy of that
// rectangle, pixels and palette unchanged. Any rectangle is accepted; the parts outside the source come out
// black, and a zero-sized one gives an empty picture.
class PicClip {
public:
    void setPicture(const Picture* source) { m_source = source; }
    qint16 ClipX = 0;
    qint16 ClipY = 0;
    qint16 ClipWidth = 0;
    qint16 ClipHeight = 0;
    std::unique_ptr<Picture> Clip() const;

private:
    const Picture* m_source = nullptr;
};
