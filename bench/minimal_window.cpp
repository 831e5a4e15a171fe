// The yardstick for bench_startup: the smallest Qt Widgets program that shows one small window.
#include <QApplication>
#include <QWidget>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Minimal"));
    window.resize(200, 100);
    window.show();
    return QApplication::exec();
}
