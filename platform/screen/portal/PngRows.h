#pragma once

#include <QtGlobal>

class QByteArray;
class QImage;
class QString;

// The image data of an 8-bit RGB or RGBA PNG that is not interlaced, decoded straight into a picture of
// QImage::Format_RGB32: inflated a few rows at a time, and each row's filter undone in the same pass that puts its
// pixels into B, G, R, 0xff order. Reads every chunk from the first IDAT to IEND and checks each one's CRC; the
// Adler-32 of the image data is left out, as the CRCs cover the same bytes.
class PngRows {
public:
    // `at` is where the first IDAT chunk starts (its length), `channels` 3 or 4; `image` has the file's size. False
    // when the file is damaged or cut short, `error` then says why; the picture's rows may then be half written.
    static bool read(const QByteArray& file, qsizetype at, int channels, QImage& image, QString* error);
};
