#include "app/MainModule.h"

#include "platform/dialogs/Shell.h"
#include "platform/process/Clock.h"

#include <QDateTime>

#include <cmath>

#ifndef QUOSH_HOME_PAGE
#define QUOSH_HOME_PAGE "https://www.ostrafen.example/"
#endif

namespace {

constexpr int MaxTitleLength = 40;
constexpr int HomePageNumber = 7;

QString cutAtLastBlank(const QString& text)
{
    const qsizetype blank = text.lastIndexOf(QLatin1Char(' '));
    return blank < 0 ? text : text.left(blank);
}

} // namespace

QString homePageAddress()
{
    return QStringLiteral(QUOSH_HOME_PAGE);
}

QString SetAppTitle(const QString& productName)
{
    QString title = cutAtLastBlank(productName);
    while (title.size() > MaxTitleLength) {
        const QString shorter = cutAtLastBlank(title);
        if (shorter.size() == title.size()) {
            return title.left(MaxTitleLength);
        }
        title = shorter;
    }
    return title;
}

int homePageDraw(double fraction)
{
    return static_cast<int>(std::floor(fraction * 100.0)) + 1;
}

void HomePageChance(Clock& clock, RandomSource& random, Shell& shell)
{
    random.seed(clock.now().time().msecsSinceStartOfDay() / 1000.0);
    if (homePageDraw(random.nextFraction()) == HomePageNumber) {
        shell.openUrl(homePageAddress());
    }
}

QString DefaultOutputFolder(Shell& shell)
{
    const QString desktop = shell.desktopFolder();
    return desktop.endsWith(QLatin1Char('/')) ? desktop : desktop + QLatin1Char('/');
}
