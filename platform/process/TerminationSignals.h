#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM, SIGHUP and SIGINT (a logout, a closed terminal, Ctrl+C) end the program through its event loop instead
// of killing it where it stands. A save runs on the GUI thread without returning to the event loop, so one that is
// under way is finished, and the file is complete under its name, before the signal is acted on; then every event
// loop is told to exit, and a message box shown after that closes at once. Needs a QCoreApplication; one object
// per process.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    TerminationSignals();
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // The signal that asked the program to end, or 0. Ending the process by that signal once everything is torn
    // down lets whoever waits for it see the same end as an uncaught signal gives.
    int received() const { return m_received; }

private:
    void readSignal();

    int m_pipe[2] = {-1, -1};
    QSocketNotifier* m_notifier = nullptr;
    int m_received = 0;
};
