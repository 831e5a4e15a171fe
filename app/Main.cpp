#include "app/Main.h"

#include "app/Form1.h"
#include "platform/files/ProgramFiles.h"
#include "platform/files/SafeFile.h"
#include "platform/files/UserFolders.h"
#include "platform/process/DisplayCheck.h"
#include "platform/process/RealServices.h"
#include "platform/process/TerminationSignals.h"
#include "platform/screen/Screens.h"

#include <QApplication>
#include <QDir>
#include <QRegularExpression>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

// A save that a crash or a power cut interrupted leaves its hidden temporary file behind; one older than this is no
// longer being written by any copy of the program.
constexpr qint64 StaleAfterSeconds = 60;

void removeStaleCaptures(const QString& folderText)
{
    // Only an absolute folder: a relative one would be looked up in whatever folder the program was started from.
    if (!QDir::isAbsolutePath(folderText)) {
        return;
    }
    // The names a capture is saved under: "Screen Capture mm_dd_yy_hh_nn_ss.jpg" or ".bmp".
    static const QRegularExpression captureName(QStringLiteral("Screen Capture \\d\\d(_\\d\\d){5}\\.(jpg|bmp)"));
    SafeFile::removeStaleTemporaryFiles(folderText, captureName, StaleAfterSeconds);
}

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

} // namespace

int Main(int argc, char* argv[])
{
    applyUserFolderRules();
    if (const QString reason = missingDisplayReason(argc, argv); !reason.isEmpty()) {
        std::fprintf(stderr, "quosh: %s\n", reason.toLocal8Bit().constData());
        return 1;
    }
    g_previousHandler = qInstallMessageHandler(endOnFatal);
    followNamedDisplay(argc, argv);
    int received = 0;
    int status = 0;
    {
        QApplication application(argc, argv);
        TerminationSignals termination;

        RealServices real(programFolder());

        Form1 form(real.services());
        form.Form_Load();
        if (termination.received() == 0) {
            // Nothing on the screen waits for the sweep.
            QObject::connect(&form, &Form1::firstFrameShown, &form,
                             [&form] { removeStaleCaptures(form.folderText()); });
            form.show();
            status = QApplication::exec();
        }
        received = termination.received();
    }
    if (received != 0) {
        std::signal(received, SIG_DFL);
        std::raise(received);
    }
    return status;
}
