#pragma once

#include <QtGlobal>

class QByteArray;
class QImage;
class QString;

// Decodes the image data of an 8-bit RGB or RGBA PNG that is not interlaced (`channels` 3 or 4) into `image`, whose
// size is the file's: the chunks from the first IDAT, at `at` in `file`, to IEND, each checked against its CRC, the
// data inflated a few rows at a time and each row unfiltered straight into the picture. False on a damaged file, with
// the reason in `error`; stricter than libpng, it refuses data for a row too many, bytes after the compressed stream,
// image data after it, and a critical chunk after it.
bool readPlainRows(const QByteArray& file, qsizetype at, int channels, QImage& image, QString* error);
