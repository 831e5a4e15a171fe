#pragma once

#include "platform/errors/Failure.h"
#include "platform/screen/ScreenService.h"

#include <cstring>

// A screen of any size and scale whose pixels are a known pattern: pixel (x, y) is B = x, G = y, R = x ^ y
// (each modulo 256).
class FakeScreen final : public ScreenService {
public:
    ScreenMetrics screen{QRect(0, 0, 640, 480), 96.0, 96.0, 1.0};
    bool grabFails = false;
    int failingCall = 0; // the call, metrics or grab, counted from 1, that fails; 0: none
    int calls = 0;
    int grabs = 0;
    QRect lastArea;

    ScreenMetrics metrics() override
    {
        countCall();
        return screen;
    }
    ScreenPixels grabArea(int left, int top, int width, int height) override
    {
        ++grabs;
        lastArea = QRect(left, top, width, height);
        countCall();
        if (grabFails)
            throw Failure(QStringLiteral("Cannot read the screen"));
        PixelBuffer buffer = PixelBuffer::allocate(width, height, PixelFormat::Bgrx32);
        for (int y = 0; y < height; ++y) {
            std::uint8_t* row = buffer.row(y);
            for (int x = 0; x < width; ++x) {
                const int sx = left + x;
                const int sy = top + y;
                row[4 * x + 0] = static_cast<std::uint8_t>(sx);
                row[4 * x + 1] = static_cast<std::uint8_t>(sy);
                row[4 * x + 2] = static_cast<std::uint8_t>(sx ^ sy);
                row[4 * x + 3] = 0;
            }
        }
        return {std::move(buffer), {}};
    }

private:
    void countCall()
    {
        if (++calls == failingCall)
            throw Failure(QStringLiteral("Cannot read the screen"));
    }
};
