#include "capture/OutputFile.h"

#include <QDateTime>
#include <QString>

QString captureFileName(const QDateTime& time, const QString& extension)
{
    const QDateTime local = time.toLocalTime();
    const QDate date = local.date();
    const QTime clock = local.time();
    // Built field by field rather than with a date format, so that no locale can change the digits.
    const auto two = [](int value) { return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0')); };
    return QStringLiteral("Screen Capture ") + two(date.month()) + QLatin1Char('_') + two(date.day()) +
           QLatin1Char('_') + two(date.year() % 100) + QLatin1Char('_') + two(clock.hour()) + QLatin1Char('_') +
           two(clock.minute()) + QLatin1Char('_') + two(clock.second()) + extension;
}

QString capturePath(const QString& folderText, const QString& name)
{
    if (folderText.endsWith(QLatin1Char('/'))) {
        return folderText + name;
    }
    return folderText + QLatin1Char('/') + name;
}
