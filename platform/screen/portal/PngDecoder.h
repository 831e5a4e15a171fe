#pragma once

#include <QImage>

class QByteArray;
class QString;

// The portal's screenshot as a PNG file, decoded once straight into the picture's own format (QImage::Format_RGB32:
// B, G, R and 0xff in memory), whatever its colour type, bit depth and interlacing. The screen has no
// transparency: the colour of every pixel is taken as it stands and its alpha, if any, is dropped. 16-bit samples
// are rounded to the nearest 8-bit value.
class PngDecoder {
public:
    // Whether `data` starts with the PNG signature.
    static bool recognises(const QByteArray& data);
    // The size the file's header gives, read without decoding anything (and so without a word from the decoder on a
    // damaged header, which decode() reports); invalid when there is no header.
    static QSize declaredSize(const QByteArray& data);
    // A null image when the file is damaged or cut short, or its picture would not fit in memory; `error` then says
    // why. The picture is decoded into `memory` when that has its size and format and is not shared.
    static QImage decode(const QByteArray& data, QString* error, QImage memory = {});
};
