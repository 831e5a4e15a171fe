#include "app/Main.h"

#include <QApplication>

int Main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    return 0;
}
