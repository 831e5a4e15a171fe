#pragma once

#include <QDateTime>

// Local time and the random draw, behind one seam so that tests can fix both.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() = 0;
};

class RandomSource {
public:
    virtual ~RandomSource() = default;
    virtual void seed(double secondsSinceMidnight) = 0;
    // A fraction from 0 up to but excluding 1.
    virtual double nextFraction() = 0;
};
