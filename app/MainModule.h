#pragma once

#include <QString>

class Clock;
class RandomSource;
class Shell;

// The product name: the main window's caption and the settings section.
inline constexpr const char* ProductName = "Ostrafen Mirel Tasko Vendry Quosh";

// The maker's home page, set when the build is configured.
QString homePageAddress();

// The application title derived from the product name, for boxes that have no caption of their own: the name
// loses its last word, and then further words while it is longer than 40 characters. A name with no blank left to
// cut at is kept whole, and cut to 40 characters when longer.
QString SetAppTitle(const QString& productName);

// The whole number from 1 to 100 that a random fraction gives.
int homePageDraw(double fraction);

// Seeds the draw from the seconds since midnight and, on a draw of 7, opens the home page in the user's browser
// without waiting for it. Throws Failure when the browser cannot be started.
void HomePageChance(Clock& clock, RandomSource& random, Shell& shell);

// The user's desktop folder ending in "/". Throws Failure when the desktop has no known location.
QString DefaultOutputFolder(Shell& shell);
