#include "imaging/OutputFormat.h"

#include "imaging/BmpWriter.h"
#include "imaging/SaveAsJPG.h"

QString fileExtension(OutputFormat format)
{
    switch (format) {
    case OutputFormat::Jpeg:
        return QStringLiteral(".jpg");
    case OutputFormat::Bmp:
        break;
    }
    return QStringLiteral(".bmp");
}

QString savePictureAs(OutputFormat format, const Picture& picture, const QString& fileName)
{
    switch (format) {
    case OutputFormat::Jpeg:
        return SavePictureAsJpeg(picture, fileName, 100);
    case OutputFormat::Bmp:
        break;
    }
    return SavePicture(picture, fileName);
}
