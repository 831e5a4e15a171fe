#pragma once

#include <QString>

class Picture;

// The encoder's status numbers that a failed save reports after "Cannot save the image. GDI+ Error:".
namespace JpegStatus {
inline constexpr int Ok = 0;
inline constexpr int InvalidPicture = 2; // an empty picture, or a quality above 100
inline constexpr int OutOfMemory = 3;
inline constexpr int WriteFailed = 7;       // writing, flushing or naming the file failed (disk full, I/O error)
inline constexpr int EncoderFailed = 8;     // the encoder rejected the pixels
inline constexpr int CannotCreateFile = 10; // the folder is missing or not writable
} // namespace JpegStatus

// Writes the picture as a baseline JPEG at `quality` (0-100) with full-resolution colour (4:4:4).
// The file appears complete or not at all, and an existing file is never replaced: when `fileName` is taken the
// first free name with " (2)", " (3)", ... before the extension is used. Returns the path written.
// Throws Failure number 5, "Cannot save the image. GDI+ Error:" followed by the status number, on failure.
QString SavePictureAsJpeg(const Picture& picture, const QString& fileName, quint8 quality);
