#include "app/Main.h"

#include "app/Form1.h"
#include "platform/ProgramFiles.h"
#include "platform/RealServices.h"

#include <QApplication>

int Main(int argc, char* argv[])
{
    QApplication application(argc, argv);

    RealServices real(programFolder());

    Form1 form(real.services());
    form.Form_Load();
    form.show();
    return QApplication::exec();
}
