// The second yardstick for bench_startup: a plain Qt Widgets program that shows the main window's controls, made
// from the main window's own control table, and nothing else: no settings, no skin, no pointer file, no icon.
#include "app/CheckBox.h"
#include "app/MainWindowControls.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QRadioButton>
#include <QScreen>
#include <QWidget>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    const QScreen* screen = QGuiApplication::primaryScreen();
    QWidget window(nullptr, MainWindowFlags);
    window.setWindowTitle(QStringLiteral("Controls"));
    const MainWindowControls controls =
        createMainWindowControls(window, screen->logicalDotsPerInchX(), screen->logicalDotsPerInchY());
    controls.Option1->setChecked(true);
    controls.Text1->setText(QDir::homePath() + QStringLiteral("/Desktop/"));
    controls.Check1->setValue(1);
    window.show();
    return QApplication::exec();
}
