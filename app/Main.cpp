#include "app/Main.h"

#include "app/Form1.h"
#include "app/StaleCaptures.h"
#include "platform/files/ProgramFiles.h"
#include "platform/files/UserFolders.h"
#include "platform/process/DisplayCheck.h"
#include "platform/process/RealServices.h"
#include "platform/process/TerminationSignals.h"
#include "platform/screen/Screens.h"

#include <QApplication>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

// An X server that accepts the connection and never answers would keep the start waiting for ever.
constexpr std::chrono::seconds DisplayTimeLimit(5);

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
    if (const QString reason = unusableDisplayReason(argc, argv, DisplayTimeLimit); !reason.isEmpty()) {
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
