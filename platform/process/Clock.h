#pragma once

#include <QDateTime>

// Local time, the desktop's double-click interval and the random draw, behind seams that tests can fix.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() = 0;
    // Milliseconds within which a second press counts as a double click, as the desktop sets it.
    virtual int doubleClickInterval() = 0;
};

class RandomSource {
public:
    virtual ~RandomSource() = default;
    virtual void seed(double secondsSinceMidnight) = 0;
    // A fraction from 0 up to but excluding 1.
    virtual double nextFraction() = 0;
};
