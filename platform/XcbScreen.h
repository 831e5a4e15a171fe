#pragma once

#include "platform/ScreenService.h"

#include <memory>

// The primary screen of the X display named by $DISPLAY, read over a connection of its own.
//
// The primary monitor is the RandR monitor flagged primary (else the first one, else the whole root window); its
// top-left corner need not be (0, 0). Pixels come in the server's own format: through an MIT-SHM segment when the
// server can attach one, through plain GetImage requests otherwise (a remote display, or a server without the
// extension). A grabbed buffer owns its segment; once the picture is gone the segment is kept for the next grab.
class XcbScreen final : public ScreenService {
public:
    enum class Transfer {
        Automatic,    // MIT-SHM where the server offers it, GetImage where not
        GetImageOnly, // never MIT-SHM
    };

    explicit XcbScreen(Transfer transfer = Transfer::Automatic);
    ~XcbScreen() override;
    XcbScreen(const XcbScreen&) = delete;
    XcbScreen& operator=(const XcbScreen&) = delete;

    // Device geometry from RandR; logical DPI and device pixel ratio from the toolkit's primary screen when a
    // QGuiApplication exists, else 96 and 1.
    ScreenMetrics metrics() override;
    ScreenPixels grabArea(int left, int top, int width, int height) override;

    // True while grabs go through shared memory: the server offers MIT-SHM, it was not turned off, and the server
    // has not refused to attach a segment.
    bool isUsingSharedMemory() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
