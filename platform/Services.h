#pragma once

#include <QString>

class Clipboard;
class Clock;
class Dialogs;
class FaultProbe;
class RandomSource;
class ScreenService;
class SettingsBackend;
class Shell;

// Everything that touches the outside world, built once at start-up and handed down by reference.
struct Services {
    Dialogs& dialogs;
    Clipboard& clipboard;
    Shell& shell;
    SettingsBackend& settings;
    ScreenService& screen;
    Clock& clock;
    RandomSource& random;
    QString programFolder;        // the folder that holds the program file, without a trailing separator
    FaultProbe* faults = nullptr; // tests only
};
