#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>

class Dialogs;
class FaultProbe;

// The failure trap of one run of one handler. Each step runs under it; a step that throws is abandoned, the
// error report names the handler's location and the step's line, and the handler goes on with what follows.
//
//     Trap trap(dialogs, probe, this, Location::Form1_PushButton1_Click);
//     if (trap.test(100, [&] { return FolderExists(folder); })) { ... }
//     trap.step(108, [&] { showOverlay(); });
class Trap {
public:
    Trap(Dialogs& dialogs, FaultProbe* probe, QWidget* parent, QString location);

    // Runs one step. Returns true when it completed, false when it failed and was reported.
    bool step(int line, const std::function<void()>& body);

    // Runs a check that guards a block. Answers the check's result, or true when the check itself failed:
    // after a failing test the block it guards runs.
    bool test(int line, const std::function<bool()>& check);

    // How many reports this run has shown.
    int failures() const { return m_failures; }

private:
    bool run(int line, const std::function<void()>& body);

    Dialogs& m_dialogs;
    FaultProbe* m_probe;
    QPointer<QWidget> m_parent; // may go away during a step
    QString m_location;
    int m_failures = 0;
};
