#pragma once

#include "platform/screen/PixelBuffer.h"

#include <QImage>

#include <cstddef>

// Keeps a decoded image alive as the pixels of a buffer, so that handing it on copies nothing. `offset` (bytes)
// lets the buffer start inside the image, for a rectangle cut out of it with the image's own stride.
class ImageStorage final : public PixelStorage {
public:
    explicit ImageStorage(QImage image, std::ptrdiff_t offset = 0)
        : m_image(std::move(image))
        , m_offset(offset)
    {}
    std::uint8_t* data() override { return m_image.bits() + m_offset; }

private:
    QImage m_image;
    std::ptrdiff_t m_offset;
};
