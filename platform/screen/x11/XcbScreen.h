#pragma once

#include "platform/screen/ScreenService.h"

#include <chrono>
#include <memory>

struct xcb_connection_t;

// The primary screen of an X display, read over the toolkit's own connection or over one of its own. The toolkit's
// windows on it are handled as X11Windows handles them.
//
// The primary monitor is the RandR monitor flagged primary (else the first one, else the whole root window); its
// top-left corner need not be (0, 0). Pixels come in the server's own format: through an MIT-SHM segment when the
// server can attach one, through plain GetImage requests otherwise (a remote display, or a server without the
// extension). A grabbed buffer owns its segment; once the picture is gone the segment is kept for the next grab,
// for a while.
class XcbScreen final : public ScreenService {
public:
    enum class Transfer {
        Automatic,    // MIT-SHM where the server offers it, GetImage where not
        GetImageOnly, // never MIT-SHM
    };

    // Opens a connection of its own to the display named by $DISPLAY.
    explicit XcbScreen(Transfer transfer = Transfer::Automatic);
    // Reads over a connection that stays open while this screen lives and is closed by its owner (the toolkit's),
    // so that each grab comes after every request made on it before: a window hidden, a window mapped. The screen
    // is the display's default one.
    explicit XcbScreen(xcb_connection_t* borrowed, Transfer transfer = Transfer::Automatic);
    ~XcbScreen() override;
    XcbScreen(const XcbScreen&) = delete;
    XcbScreen& operator=(const XcbScreen&) = delete;

    // Device geometry from RandR; logical DPI and device pixel ratio from the toolkit's primary screen when a
    // QGuiApplication exists, else 96 and 1.
    ScreenMetrics metrics() override;
    ScreenPixels grabArea(int left, int top, int width, int height) override;
    // Readies the segment for a grab of the whole primary monitor: made, attached to the server and its pages
    // mapped on both sides, by a grab whose pixels are dropped. Like the segment a grab gives back, it is let go
    // once it has lain unused for the spare lifetime, so that an idle program holds no screenful of memory.
    void prepare() override;
    void setSpareLifetime(std::chrono::milliseconds lifetime);

    // True while grabs go through shared memory: the server offers MIT-SHM, it was not turned off, and the server
    // has not refused to attach a segment.
    bool isUsingSharedMemory() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
