#include "app/Main.h"

#include "app/CommandLine.h"
#include "app/Form1.h"
#include "app/StaleCaptures.h"
#include "capture/CaptureLaunch.h"
#include "capture/Form2.h"
#include "capture/MainWindowLink.h"
#include "platform/Services.h"
#include "platform/dialogs/Dialogs.h"
#include "platform/files/ProgramFiles.h"
#include "platform/files/UserFolders.h"
#include "platform/process/TerminationSignals.h"
#include "platform/screen/WindowingSystem.h"
#include "platform/startup/DisplayCheck.h"
#include "platform/startup/RealServices.h"
#include "platform/startup/ToolkitArguments.h"

#include <QApplication>
#include <QByteArray>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

// An X server that accepts the connection and never answers would keep the start waiting for ever.
constexpr std::chrono::seconds DisplayTimeLimit(5);

// The status after a command line that cannot be followed; 1 is a failure to start or to capture.
constexpr int UsageStatus = 2;

QtMessageHandler g_previousHandler = nullptr;

// Qt ends the process with abort() after a fatal message, as when no display can be reached: a core dump and a
// crash report for what is a plain failure to start. The message is told in one line and the program ends with a
// failure status instead.
void endOnFatal(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type != QtFatalMsg) {
        if (g_previousHandler) {
            g_previousHandler(type, context, message);
        }
        return;
    }
    std::fprintf(stderr, "quosh: %s\n", message.simplified().toLocal8Bit().constData());
    std::fflush(stderr);
    std::_Exit(1);
}

// Standard output is checked as coreutils check it: a help or version text that never arrived (a full disk, a
// closed pipe) is a failure.
bool writeOut(const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    const auto size = static_cast<std::size_t>(bytes.size());
    if (std::fwrite(bytes.constData(), 1, size, stdout) == size && std::fflush(stdout) == 0) {
        return true;
    }
    std::fprintf(stderr, "quosh: cannot write to standard output: %s\n", std::strerror(errno));
    return false;
}

// --- a capture on its own ------------------------------------------------------------------------------------------

// Every box of a capture started from the command line passes through here on its way to the real dialogs: "Done."
// says that the file was saved; every other box the program shows tells of something that went wrong.
class CaptureOutcome final : public Dialogs {
public:
    explicit CaptureOutcome(Dialogs& dialogs)
        : m_dialogs(dialogs)
    {}

    void messageBox(QWidget* parent, const QString& title, const QString& text, Icon icon) override
    {
        (text == QLatin1String("Done.") ? m_saved : m_failed) = true;
        m_dialogs.messageBox(parent, title, text, icon);
    }
    QString browseForFolder(QWidget* owner, const QString& prompt, const BrowseCallbackFunction& callback) override
    {
        return m_dialogs.browseForFolder(owner, prompt, callback);
    }

    // 0 when the file was saved, or when the user left the capture without any failure; 1 otherwise.
    int status() const { return m_saved || !m_failed ? 0 : 1; }

private:
    Dialogs& m_dialogs;
    bool m_saved = false;
    bool m_failed = false;
};

// The main window as a capture started from the command line sees it: its options as stored, and never on the
// screen, so there is nothing to hide or to bring back, and the boxes stand on their own.
class UnshownMainWindow final : public MainWindowLink {
public:
    explicit UnshownMainWindow(const Form1& form)
        : m_form(form)
    {}

    OutputFormat outputFormat() const override { return m_form.outputFormat(); }
    QString folderText() const override { return m_form.folderText(); }
    int hideFlag() const override { return m_form.hideFlag(); }
    QString applicationTitle() const override { return m_form.applicationTitle(); }
    void showMainWindow() override {}
    void hideMainWindow() override {}
    QWidget* widget() override { return nullptr; }
    std::optional<quint64> lastStartPress() const override { return std::nullopt; }

private:
    const Form1& m_form;
};

// "Start Capturing" pressed on a window that never comes up; returns once the run has ended.
int captureOnce(Services& services, const Form1& form, const CaptureOutcome& outcome,
                const TerminationSignals& termination)
{
    UnshownMainWindow mainWindow(form);
    // The boxes stand on their own; the last one to close must not end the run's wait.
    QApplication::setQuitOnLastWindowClosed(false);
    PushButton1_Click(services, mainWindow);
    // The overlay deletes itself once unloaded: after "Done.", after a failed save, or when the capture is left. It
    // may be gone already (the folder is missing, it could not come up, or the run ended in the launch's yields).
    Form2* overlay = Form2::loaded();
    if (overlay && !overlay->hasPicture()) {
        // The screen could not be read, which has been reported: the overlay's plain background has nothing to cut
        // out of, and no one would be left to end the run from the main window.
        overlay->Unload();
        return 1;
    }
    if (overlay && termination.received() == 0) {
        QObject::connect(overlay, &QObject::destroyed, overlay, [] { QCoreApplication::exit(0); });
        removeStaleCaptures(form.folderText());
        QApplication::exec();
    }
    return outcome.status();
}

} // namespace

int Main(int argc, char* argv[])
{
    using Start = CommandLine::Start;
    const CommandLine command = readCommandLine(argc, argv);
    switch (command.start) {
    case Start::Help:
    case Start::Version:
        return writeOut(command.text) ? 0 : 1;
    case Start::Refused:
        std::fprintf(stderr, "quosh: %s\n", command.text.toLocal8Bit().constData());
        return UsageStatus;
    case Start::MainWindow:
    case Start::Capture:
        break;
    }
    const bool captureOnly = command.start == Start::Capture;

    applyUserFolderRules();
    ToolkitArguments toolkit(argc, argv);
    if (const QString reason = unusableDisplayReason(toolkit.argc(), toolkit.argv(), DisplayTimeLimit);
        !reason.isEmpty()) {
        std::fprintf(stderr, "quosh: %s\n", reason.toLocal8Bit().constData());
        return 1;
    }
    g_previousHandler = qInstallMessageHandler(endOnFatal);
    followNamedDisplay(toolkit.argc(), toolkit.argv());
    int received = 0;
    int status = 0;
    {
        QApplication application(toolkit.argc(), toolkit.argv());
        if (const QString reason = captureOnly ? nothingToCaptureReason() : QString(); !reason.isEmpty()) {
            std::fprintf(stderr, "quosh: %s\n", reason.toLocal8Bit().constData());
            return 1;
        }
        TerminationSignals termination;

        RealServices real(programFolder());
        Services& services = real.services();
        CaptureOutcome outcome(services.dialogs);
        Services captureServices{outcome,           services.clipboard,     services.shell,
                                 services.settings, services.screen,        services.clock,
                                 services.random,   services.programFolder, services.faults};

        // Only the boxes of a capture started from the command line are watched.
        Form1 form(captureOnly ? captureServices : services);
        form.Form_Load();
        if (termination.received() == 0) {
            if (captureOnly) {
                status = captureOnce(captureServices, form, outcome, termination);
            } else {
                QObject::connect(&form, &Form1::firstFrameShown, &form, [&form, &services] {
                    services.screen.warmUp();
                    removeStaleCaptures(form.folderText());
                });
                form.show();
                status = QApplication::exec();
            }
        }
        received = termination.received();
    }
    if (received != 0) {
        std::signal(received, SIG_DFL);
        std::raise(received);
    }
    return status;
}
