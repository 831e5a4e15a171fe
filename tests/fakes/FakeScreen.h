#pragma once

#include "platform/errors/Failure.h"
#include "platform/screen/PictureLayer.h"
#include "platform/screen/ScreenService.h"

#include <QList>
#include <QSize>

#include <cstring>
#include <memory>

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

    // What the windowing system was given to lay over a window, where it can: the picture's size, each band shown,
    // and whether the layer is gone again.
    struct Laid {
        QSize picture;
        QList<QRegion> bands;
        bool removed = false;
    };
    std::shared_ptr<Laid> laid; // null: it cannot

    std::unique_ptr<PictureLayer> showPicture(QWidget& /*window*/, const PixelBuffer& picture) override
    {
        if (!laid)
            return nullptr;
        laid->picture = QSize(picture.width(), picture.height());
        return std::make_unique<Layer>(laid);
    }

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
    class Layer final : public PictureLayer {
    public:
        explicit Layer(std::shared_ptr<Laid> laid)
            : m_laid(std::move(laid))
        {}
        ~Layer() override { m_laid->removed = true; }
        void showBand(const QRegion& strips, QRgb /*colour*/) override { m_laid->bands.append(strips); }

    private:
        std::shared_ptr<Laid> m_laid;
    };

    void countCall()
    {
        if (++calls == failingCall)
            throw Failure(QStringLiteral("Cannot read the screen"));
    }
};
