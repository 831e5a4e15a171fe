#pragma once

#include <QRect>
#include <QSize>
#include <QString>

class QDBusConnection;
class QScreen;

// The desktop as the toolkit lays its screens out, and where the primary screen lies in a picture of all of them.
// `root` is the X root window's size under XWayland, which is the desktop's true logical size; invalid elsewhere.

// How many times wider and higher than the whole desktop, as the toolkit reports it in device pixels, a picture of it
// may be: the toolkit may see the desktop at another scale than the compositor (a toolkit drawn at scale 1 under
// XWayland on a desktop at scale 2 or 3).
constexpr int maxScaleMismatch = 4;

// A screen's rectangle in the toolkit's logical pixels. XWayland gives its outputs RandR modes of the CVT kind, whose
// width is a multiple of 8: an output 853 logical pixels wide is reported as 848, while the root window has the true
// size. An edge of a screen that falls short of the root's by less than 8 pixels is taken to be at the root's.
QRect screenGeometry(const QScreen* screen, const QSize& root);

// Every screen in the toolkit's logical pixels.
QRect desktopLayout(const QSize& root);

// Every screen in device pixels, each at its own scale.
QSize desktopDeviceSize(const QSize& root);

// Where the primary screen lies in a picture of the whole desktop: `desktop` and `primary` in the toolkit's logical
// pixels, `picture` the size the portal delivered. The picture's own scale (device pixels per logical pixel, as the
// compositor chose it) is read off its size, so that every output scale maps onto whole device pixels.
QRect primaryInDesktopPicture(const QRect& desktop, const QRect& primary, const QSize& picture);

// Why a picture of `picture` pixels cannot be the desktop laid out as `desktop` logical pixels at any output scale
// there is (from half a pixel to four per logical pixel, alike across and down); empty when it can be.
QString implausiblePictureReason(const QSize& picture, const QSize& desktop);

// Whether the desktop lays its screens out in device pixels: GNOME does unless fractional scaling is turned on (its
// "physical" layout). The toolkit on Wayland then takes that layout for logical pixels: a screen of 2560 x 1600 at
// scale 2 is reported as 2560 x 1600 logical pixels at ratio 2, while a full-screen window gets 1280 x 800 at ratio
// 2, that is the screen's 2560 x 1600 device pixels. False on other desktops.
bool layoutInDevicePixels(const QDBusConnection& bus);
