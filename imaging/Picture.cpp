#include "imaging/Picture.h"

#include <utility>

Picture::Picture(PixelBuffer bitmap, std::vector<PaletteEntry> palette)
    : m_bitmap(std::move(bitmap))
    , m_palette(std::move(palette))
{}

QImage Picture::view() const
{
    if (m_bitmap.isNull()) {
        return {};
    }
    QImage::Format format = QImage::Format_RGB32;
    switch (m_bitmap.format()) {
    case PixelFormat::Bgrx32:
        format = QImage::Format_RGB32;
        break;
    case PixelFormat::Rgb565:
        format = QImage::Format_RGB16;
        break;
    case PixelFormat::Indexed8:
        format = QImage::Format_Indexed8;
        break;
    }
    QImage image(m_bitmap.bits(), m_bitmap.width(), m_bitmap.height(), m_bitmap.stride(), format);
    if (format == QImage::Format_Indexed8) {
        QList<QRgb> colours(256, qRgb(0, 0, 0));
        for (std::size_t i = 0; i < m_palette.size() && i < 256; ++i) {
            colours[static_cast<int>(i)] = qRgb(m_palette[i].red, m_palette[i].green, m_palette[i].blue);
        }
        image.setColorTable(colours);
    }
    return image;
}
