#include "app/Main.h"

#include "app/Form1.h"
#include "platform/ProgramFiles.h"
#include "platform/QSettingsBackend.h"
#include "platform/QtDialogs.h"
#include "platform/Screens.h"
#include "platform/Services.h"
#include "platform/SystemServices.h"

#include <QApplication>

int Main(int argc, char* argv[])
{
    QApplication application(argc, argv);

    QtDialogs dialogs;
    SystemClipboard clipboard;
    DesktopShell shell;
    QSettingsBackend settings;
    const std::unique_ptr<ScreenService> screen = createScreenService();
    SystemClock clock;
    SystemRandom random;
    Services services{dialogs, clipboard, shell, settings, *screen, clock, random, programFolder()};

    Form1 form(services);
    form.Form_Load();
    form.show();
    return QApplication::exec();
}
