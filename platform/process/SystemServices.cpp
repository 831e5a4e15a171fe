#include "platform/process/SystemServices.h"

#include "platform/errors/Failure.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QGuiApplication>
#include <QStandardPaths>
#include <QStyleHints>
#include <QUrl>

void SystemClipboard::clear()
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard) {
        throw Failure(QStringLiteral("The clipboard is not available"));
    }
    clipboard->clear(QClipboard::Clipboard);
}

QString DesktopShell::desktopFolder()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (folder.isEmpty()) {
        throw Failure(QStringLiteral("The desktop folder is not known"));
    }
    return QDir::cleanPath(folder);
}

void DesktopShell::openUrl(const QString& url)
{
    if (!QDesktopServices::openUrl(QUrl(url))) {
        throw Failure(QStringLiteral("Cannot open %1 in the web browser").arg(url));
    }
}

QDateTime SystemClock::now()
{
    return QDateTime::currentDateTime();
}

int SystemClock::doubleClickInterval()
{
    return QGuiApplication::styleHints()->mouseDoubleClickInterval();
}

void SystemRandom::seed(double secondsSinceMidnight)
{
    m_engine.seed(static_cast<std::mt19937::result_type>(secondsSinceMidnight * 1000.0));
}

double SystemRandom::nextFraction()
{
    return std::uniform_real_distribution<double>(0.0, 1.0)(m_engine);
}
