#pragma once

#include "capture/MainWindowLink.h"
#include "fakes/FakeDialogs.h"
#include "fakes/FakeScreen.h"
#include "fakes/FakeServices.h"
#include "platform/Services.h"
#include "platform/errors/Failure.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QWidget>

// The main window as a capture run sees it: the options it answers with and a log of what was asked of it.
class FakeMainWindow final : public MainWindowLink {
public:
    OutputFormat format = OutputFormat::Bmp;
    QString folder;
    int hide = 0;
    bool visible = true;
    std::optional<quint64> startPress;
    bool failsStartPress = false; // the overlay is made, then its launch step fails before it is shown
    QStringList log;              // "hide", "show"
    QWidget window;

    OutputFormat outputFormat() const override { return format; }
    QString folderText() const override { return folder; }
    int hideFlag() const override { return hide; }
    QString applicationTitle() const override { return QStringLiteral("Ostrafen Mirel Tasko Vendry"); }
    void showMainWindow() override
    {
        visible = true;
        log.append(QStringLiteral("show"));
    }
    void hideMainWindow() override
    {
        visible = false;
        log.append(QStringLiteral("hide"));
    }
    QWidget* widget() override { return &window; }
    std::optional<quint64> lastStartPress() const override
    {
        if (failsStartPress) {
            throw Failure(QStringLiteral("The start press cannot be told"));
        }
        return startPress;
    }
};

// Every service a capture run uses, as fakes, with the probe installed.
struct FakeCaptureServices {
    FakeDialogs dialogs;
    FakeClipboard clipboard;
    FakeShell shell;
    FakeSettings settings;
    FakeScreen screen;
    FakeClock clock;
    FakeRandom random;
    FakeProbe probe;
    QTemporaryDir programFolder; // holds no cursor or skin file unless a test puts one there
    Services services{dialogs, clipboard, shell, settings, screen, clock, random, programFolder.path(), &probe};
};
