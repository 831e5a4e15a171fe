#pragma once

#include "platform/screen/OutputSource.h"

#include <QDBusConnection>
#include <QString>

#include <chrono>

class QImage;

// KWin's own screenshot service, org.kde.KWin.ScreenShot2: one screen's pixels at the output's own resolution,
// without the pointer, handed over through a pipe with no file in between. KDE's portal draws the pointer into its
// picture; this service is asked not to. KWin answers only a program whose executable an installed desktop file names
// (its Exec= is the program's path, links resolved) with X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2.
class KWinScreenShot final : public OutputSource {
public:
    // KWin on the session bus `bus`. Qt on Wayland names its screens after KWin's outputs (`outputsByName`); under
    // XWayland the names are XWayland's own, and KWin is asked for the screen it calls active: the one the pointer is
    // on.
    KWinScreenShot(const QDBusConnection& bus, bool outputsByName);

    QImage picture(const QScreen& screen) override;
    // The bus's names looked up once.
    void warmUp(const QScreen& screen) override;
    QString pictureName() const override;

    // Whether KWin's screenshot service is on `bus`, the session bus.
    static bool isAvailable(const QDBusConnection& bus);

    // The picture of KWin's output `outputName` ("Virtual-0"; Qt on Wayland names a screen after its xdg-output), or of
    // the screen KWin calls active when the name is empty, in QImage::Format_RGB32 at the output's own resolution.
    // Waits for the pixels at most `limit`. Throws Failure, saying why, when KWin is not there, refuses, or hands over
    // no whole picture.
    static QImage capture(const QDBusConnection& bus, const QString& outputName,
                          std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    QDBusConnection m_bus;
    bool m_outputsByName;
};
