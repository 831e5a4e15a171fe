// The second yardstick for bench_startup: a plain Qt Widgets program that shows the main window's controls, with the
// same captions, fonts, colours, places and sizes, and nothing else: no settings, no skin, no pointer file, no icon.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QWidget>

#include <cmath>

namespace {

QFont boldArial(double points)
{
    QFont font;
    font.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans")});
    font.setPointSizeF(points);
    font.setBold(true);
    return font;
}

void whiteBackground(QWidget& widget)
{
    QPalette palette = widget.palette();
    palette.setColor(widget.backgroundRole(), Qt::white);
    widget.setPalette(palette);
    widget.setAutoFillBackground(true);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    const QScreen* screen = QGuiApplication::primaryScreen();
    const double dpiX = screen->logicalDotsPerInchX();
    const double dpiY = screen->logicalDotsPerInchY();
    // Places in twips, 1440 to the inch, as the main window is laid out.
    const auto rect = [&](int left, int top, int width, int height) {
        const auto x = [&](int twips) { return static_cast<int>(std::lround(twips * dpiX / 1440.0)); };
        const auto y = [&](int twips) { return static_cast<int>(std::lround(twips * dpiY / 1440.0)); };
        return QRect(x(left), y(top), x(width), y(height));
    };

    QWidget window(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                                Qt::MSWindowsFixedSizeDialogHint);
    window.setWindowTitle(QStringLiteral("Controls"));
    window.setFixedSize(rect(0, 0, 8040, 3240).size());
    window.setFont(boldArial(9));
    whiteBackground(window);

    const auto frame = [&](const QString& caption, QRect geometry) {
        auto* box = new QGroupBox(caption, &window);
        box->setGeometry(geometry);
        whiteBackground(*box);
        return box;
    };
    const auto button = [&](const QString& caption, QWidget* parent, QRect geometry) {
        auto* push = new QPushButton(caption, parent);
        push->setGeometry(geometry);
        push->setFont(boldArial(11.25));
        QPalette palette = push->palette();
        palette.setColor(QPalette::Button, Qt::white);
        push->setPalette(palette);
        return push;
    };

    QGroupBox* format = frame(QStringLiteral("Image Output Option"), rect(120, 120, 7800, 750));
    auto* jpg = new QRadioButton(QStringLiteral("JPG"), format);
    jpg->setGeometry(rect(240, 300, 750, 285));
    jpg->setChecked(true);
    auto* bmp = new QRadioButton(QStringLiteral("BMP"), format);
    bmp->setGeometry(rect(1080, 300, 780, 285));

    QGroupBox* output = frame(QStringLiteral("Save Results To This Folder"), rect(120, 960, 7800, 795));
    auto* folder = new QLineEdit(QDir::homePath() + QStringLiteral("/Desktop/"), output);
    folder->setGeometry(rect(240, 300, 6615, 345));
    button(QStringLiteral("..."), output, rect(6960, 300, 600, 345));

    QGroupBox* hide = frame(QStringLiteral("Minimize Option"), rect(120, 1860, 7800, 735));
    auto* check = new QCheckBox(QStringLiteral("Hide this window so screenshot can be taken"), hide);
    check->setGeometry(rect(240, 300, 5295, 285));
    check->setChecked(true);

    button(QStringLiteral("Start Capturing"), &window, rect(120, 2720, 7800, 405));

    // Out of sight below the client area, holding the focus, as in the main window.
    auto* focus = new QLineEdit(QStringLiteral("Text2"), &window);
    focus->setGeometry(rect(1440, 3510, 1215, 405));
    focus->setFocus(Qt::OtherFocusReason);

    for (QWidget* control : {static_cast<QWidget*>(jpg), static_cast<QWidget*>(bmp), static_cast<QWidget*>(check)}) {
        whiteBackground(*control);
    }
    window.show();
    return QApplication::exec();
}
