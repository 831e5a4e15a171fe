#pragma once

#include <QtGlobal>

#include <memory>

class Picture;

// The clipping component: holds a source picture and a rectangle in its pixels, and hands out a copy of that
// rectangle, pixels and palette unchanged. Any rectangle is accepted; the parts outside the source come out
// black, and a zero-sized one gives an empty picture.
//
// A caller that has no further use for the source can hand it over instead: the clip is then, where the
// rectangle lies within the source, a view of the source's own rows that keeps its pixels alive, and nothing is
// copied.
class PicClip {
public:
    void setPicture(const Picture* source) { m_source = source; }
    qint16 ClipX = 0;
    qint16 ClipY = 0;
    qint16 ClipWidth = 0;
    qint16 ClipHeight = 0;
    std::unique_ptr<Picture> Clip() const;
    // The same clip, taking `owner` over when it holds the source set and the clip can be a view of it (`owner` is
    // then empty). Otherwise a copy as above, and `owner` is left as it was, also when this throws.
    std::unique_ptr<Picture> Clip(std::unique_ptr<Picture>& owner) const;

private:
    const Picture* m_source = nullptr;
};
