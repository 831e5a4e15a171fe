#pragma once

#include <QString>

class Picture;

// Writes the picture as a Windows bitmap file (BITMAPINFOHEADER, bottom-up) that every viewer opens:
// 24-bit from 32- and 16-bit pictures, 8-bit with its palette from palette pictures.
// Like SavePictureAsJpeg, never leaves a partial file and never replaces an existing one; returns the path
// written. Throws Failure with the system's reason ("Cannot write <path>: No space left on device").
QString SavePicture(const Picture& picture, const QString& fileName);
