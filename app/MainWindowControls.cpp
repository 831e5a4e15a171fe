#include "app/MainWindowControls.h"

#include "app/CheckBox.h"
#include "app/Skin.h"

#include <QFont>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <cmath>
#include <iterator>

namespace {

// The window's layout is drawn in twips, 1440 to the inch; a logical pixel is 1440 / logical DPI twips.
class Twips {
public:
    Twips(double dpiX, double dpiY)
        : m_dpiX(dpiX > 0 ? dpiX : 96.0)
        , m_dpiY(dpiY > 0 ? dpiY : 96.0)
    {}
    int x(int twips) const { return static_cast<int>(std::lround(twips * m_dpiX / 1440.0)); }
    int y(int twips) const { return static_cast<int>(std::lround(twips * m_dpiY / 1440.0)); }
    QRect rect(int left, int top, int width, int height) const { return {x(left), y(top), x(width), y(height)}; }

private:
    double m_dpiX;
    double m_dpiY;
};

constexpr int ClientWidth = 8040; // twips
constexpr int ClientHeight = 3240;

QFont arial(double points)
{
    // Liberation Sans has Arial's metrics, so the captions fit their controls as drawn.
    QFont font;
    font.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans")});
    font.setPointSizeF(points);
    font.setBold(true);
    return font;
}

} // namespace

MainWindowControls createMainWindowControls(QWidget& window, double logicalDpiX, double logicalDpiY)
{
    MainWindowControls c;
    const Twips twips(logicalDpiX, logicalDpiY);
    window.setFixedSize(twips.x(ClientWidth), twips.y(ClientHeight));
    window.setFont(arial(9));
    setBackColor(window, Qt::white);

    const auto frame = [&](const char* name, const QString& caption, QRect geometry) {
        auto* box = new QGroupBox(caption, &window);
        box->setObjectName(QLatin1String(name));
        box->setGeometry(geometry);
        setBackColor(*box, Qt::white);
        return box;
    };
    const auto pushButton = [&](const char* name, const QString& caption, QWidget* container, QRect geometry) {
        auto* button = new QPushButton(caption, container);
        button->setObjectName(QLatin1String(name));
        button->setGeometry(geometry);
        button->setFont(arial(11.25));
        QPalette palette = button->palette();
        palette.setColor(QPalette::Button, Qt::white);
        button->setPalette(palette);
        return button;
    };

    c.Frame1 = frame("Frame1", QStringLiteral("Image Output Option"), twips.rect(120, 120, 7800, 750));
    c.Option1 = new QRadioButton(QStringLiteral("JPG"), c.Frame1);
    c.Option1->setGeometry(twips.rect(240, 300, 750, 285));
    c.Option2 = new QRadioButton(QStringLiteral("BMP"), c.Frame1);
    c.Option2->setGeometry(twips.rect(1080, 300, 780, 285));

    c.Frame2 = frame("Frame2", QStringLiteral("Save Results To This Folder"), twips.rect(120, 960, 7800, 795));
    c.Text1 = new QLineEdit(c.Frame2);
    c.Text1->setGeometry(twips.rect(240, 300, 6615, 345));
    c.PushButton4 = pushButton("PushButton4", QStringLiteral("..."), c.Frame2, twips.rect(6960, 300, 600, 345));

    c.Frame3 = frame("Frame3", QStringLiteral("Minimize Option"), twips.rect(120, 1860, 7800, 735));
    c.Check1 = new CheckBox(QStringLiteral("Hide this window so screenshot can be taken"), c.Frame3);
    c.Check1->setGeometry(twips.rect(240, 300, 5295, 285));

    c.PushButton1 =
        pushButton("PushButton1", QStringLiteral("Start Capturing"), &window, twips.rect(120, 2720, 7800, 405));

    // Below the client area, out of sight; first in the tab order, it holds the focus when the window opens.
    c.Text2 = new QLineEdit(QStringLiteral("Text2"), &window);
    c.Text2->setGeometry(twips.rect(1440, 3510, 1215, 405));

    c.Option1->setObjectName(QStringLiteral("Option1"));
    c.Option2->setObjectName(QStringLiteral("Option2"));
    c.Text1->setObjectName(QStringLiteral("Text1"));
    c.Check1->setObjectName(QStringLiteral("Check1"));
    c.Text2->setObjectName(QStringLiteral("Text2"));
    for (QWidget* control :
         {static_cast<QWidget*>(c.Option1), static_cast<QWidget*>(c.Option2), static_cast<QWidget*>(c.Check1)}) {
        setBackColor(*control, Qt::white);
    }

    QWidget* tabOrder[] = {c.Text2, c.Option1, c.Option2, c.Text1, c.PushButton4, c.Check1, c.PushButton1};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i) {
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);
    }
    c.Text2->setFocus(Qt::OtherFocusReason);

    return c;
}
