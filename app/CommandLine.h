#pragma once

#include <QString>

// What the command line asks for. Read before the toolkit starts, so that --help, --version and a mistyped option
// need no display.
struct CommandLine {
    enum class Start { MainWindow, Capture, Help, Version, Refused };

    Start start = Start::MainWindow;
    QString text; // the help, the version, or why the command line was refused
};

CommandLine readCommandLine(int argc, char* argv[]);
