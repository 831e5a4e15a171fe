#include "platform/CursorFile.h"

#include "platform/Failure.h"

#include <QPixmap>

QCursor loadCursorFile(const QString& path)
{
    QPixmap pixmap(path, "ICO");
    if (pixmap.isNull())
        throw Failure(QStringLiteral("%1 is not a cursor file").arg(path));
    return QCursor(pixmap);
}
