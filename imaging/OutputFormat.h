#pragma once

#include <QString>

class Picture;

// The file format a capture is saved in, as the main window's "JPG" and "BMP" buttons choose it.
enum class OutputFormat { Jpeg, Bmp };

// The extension of the format's files, with its dot: ".jpg" or ".bmp".
QString fileExtension(OutputFormat format);

// Writes the picture with the format's writer: a JPEG at quality 100 with full-resolution colour, or a Windows
// bitmap. Either leaves no partial file and replaces no existing one; returns the path written. Throws Failure as
// that writer does.
QString savePictureAs(OutputFormat format, const Picture& picture, const QString& fileName);
