#include "Form1World.h"
#include "app/Skin.h"
#include "fakes/FakeScreen.h"
#include "platform/files/ProgramFiles.h"

#include <QApplication>
#include <QSignalSpy>
#include <QTest>

namespace {

QColor background(const QWidget* widget)
{
    return widget->palette().color(widget->backgroundRole());
}

} // namespace

// The window itself: its look, places and focus, its pointer, its icon, closing and coming forward.
class TestForm1Window : public QObject {
    Q_OBJECT
private slots:
    void coloursWithoutAndWithSkin_data();
    void coloursWithoutAndWithSkin();
    void pointerKinds_data();
    void pointerKinds();
    void layoutInTwips_data();
    void layoutInTwips();
    void focusStartsInTheHiddenTextBox();
    void iconGetsItsLargeSizesOnceTheWindowIsPainted();
    void closingYieldsOnceAndEndsTheProcess();
    void showingTheVisibleWindowBringsItForward();
};

void TestForm1Window::coloursWithoutAndWithSkin_data()
{
    QTest::addColumn<QByteArray>("skin"); // empty: no skin file
    QTest::addColumn<bool>("recoloured");
    QTest::addColumn<QString>("reported");
    QTest::newRow("no skin") << QByteArray() << false << QString();
    QTest::newRow("skin") << QByteArray("QPushButton { font-weight: bold; }") << true << QString();
    QTest::newRow("broken skin: colours stay changed")
        << QByteArray("QWidget { color: ") << true << QStringLiteral("is not a valid style sheet");
}

void TestForm1Window::coloursWithoutAndWithSkin()
{
    QFETCH(QByteArray, skin);
    QFETCH(bool, recoloured);
    QFETCH(QString, reported);
    World world;
    if (!skin.isEmpty())
        world.putFile(QStringLiteral("x/o.cjs"), skin);
    Form1& form = world.load();
    const QColor expected = recoloured ? buttonFaceColor() : QColor(Qt::white);
    QVERIFY(buttonFaceColor() != QColor(Qt::white));
    for (const QWidget* control :
         {static_cast<const QWidget*>(&form), static_cast<const QWidget*>(world.controls.Frame1),
          static_cast<const QWidget*>(world.controls.Frame2), static_cast<const QWidget*>(world.controls.Frame3),
          static_cast<const QWidget*>(world.controls.Option1), static_cast<const QWidget*>(world.controls.Option2),
          static_cast<const QWidget*>(world.controls.Check1)}) {
        QCOMPARE(background(control), expected);
        QVERIFY(control->autoFillBackground());
    }
    // The folder box and the push buttons keep their own colours.
    QCOMPARE(world.controls.PushButton1->palette().color(QPalette::Button), QColor(Qt::white));
    QCOMPARE(world.controls.PushButton4->palette().color(QPalette::Button), QColor(Qt::white));
    QCOMPARE(world.controls.Text1->palette().color(QPalette::Base), QApplication::palette().color(QPalette::Base));
    if (reported.isEmpty()) {
        QVERIFY(world.dialogs.boxes.isEmpty());
        QCOMPARE(form.styleSheet(), QString::fromUtf8(skin));
    } else {
        QCOMPARE(world.dialogs.boxes.size(), 1);
        QVERIFY(world.dialogs.boxes[0].text.contains(reported));
        QVERIFY(world.dialogs.boxes[0].text.contains(QStringLiteral("at line 100\r\r")));
        QCOMPARE(form.styleSheet(), QString());
    }
}

void TestForm1Window::pointerKinds_data()
{
    QTest::addColumn<bool>("withCursorFile");
    QTest::newRow("with HAND-M.CUR") << true;
    QTest::newRow("without HAND-M.CUR") << false;
}

void TestForm1Window::pointerKinds()
{
    QFETCH(bool, withCursorFile);
    World world;
    if (withCursorFile)
        world.putFile(QStringLiteral("HAND-M.CUR"), handCursorBytes());
    Form1& form = world.load();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QCOMPARE(form.hasHandCursor(), withCursorFile);
    const auto moveOver = [&](QWidget* control, QPoint at = QPoint(2, 2)) { QTest::mouseMove(control, at); };

    moveOver(world.controls.PushButton1, world.controls.PushButton1->rect().center());
    QCOMPARE(form.mousePointer(), MousePointer::Custom);
    QCOMPARE(form.cursor().shape(), withCursorFile ? Qt::BitmapCursor : Qt::ArrowCursor);
    if (withCursorFile)
        QCOMPARE(form.cursor().hotSpot(), QPoint(12, 1));
    // Over a control without a pointer handler the kind stays as it was.
    moveOver(world.controls.Text1, world.controls.Text1->rect().center());
    QCOMPARE(form.mousePointer(), MousePointer::Custom);
    moveOver(world.controls.Frame1, QPoint(world.controls.Frame1->width() - 4, world.controls.Frame1->height() - 4));
    QCOMPARE(form.mousePointer(), MousePointer::Default);
    QCOMPARE(form.cursor().shape(), Qt::ArrowCursor);
    moveOver(world.controls.PushButton4, world.controls.PushButton4->rect().center());
    QCOMPARE(form.mousePointer(), MousePointer::Custom);
    moveOver(&form, QPoint(2, form.height() - 2));
    QCOMPARE(form.mousePointer(), MousePointer::Default);

    form.setMousePointer(MousePointer::Hourglass);
    for (QWidget* control : {static_cast<QWidget*>(world.controls.PushButton1),
                             static_cast<QWidget*>(world.controls.Frame2), static_cast<QWidget*>(&form)})
        moveOver(control, QPoint(3, 3));
    QCOMPARE(form.mousePointer(), MousePointer::Hourglass);
    QCOMPARE(form.cursor().shape(), Qt::WaitCursor);
}

void TestForm1Window::layoutInTwips_data()
{
    QTest::addColumn<double>("dpi");
    QTest::addColumn<QSize>("client");
    QTest::addColumn<QRect>("frame2");
    QTest::addColumn<QRect>("text1");
    QTest::addColumn<QRect>("startButton");
    QTest::newRow("96 dpi: 15 twips a pixel")
        << 96.0 << QSize(536, 216) << QRect(8, 64, 520, 53) << QRect(16, 20, 441, 23) << QRect(8, 181, 520, 27);
    QTest::newRow("144 dpi: 10 twips a pixel")
        << 144.0 << QSize(804, 324) << QRect(12, 96, 780, 80) << QRect(24, 30, 662, 35) << QRect(12, 272, 780, 41);
}

void TestForm1Window::layoutInTwips()
{
    QFETCH(double, dpi);
    QFETCH(QSize, client);
    QFETCH(QRect, frame2);
    QFETCH(QRect, text1);
    QFETCH(QRect, startButton);
    World world;
    world.screen.screen.logicalDpiX = dpi;
    world.screen.screen.logicalDpiY = dpi;
    Form1& form = world.load();
    QCOMPARE(form.size(), client);
    QCOMPARE(form.minimumSize(), client);
    QCOMPARE(form.maximumSize(), client);
    QCOMPARE(world.controls.Frame2->geometry(), frame2);
    QCOMPARE(world.controls.Text1->geometry(), text1);
    QCOMPARE(world.controls.PushButton1->geometry(), startButton);
    QVERIFY(world.controls.Text2->geometry().top() >= form.height()); // out of sight
    QCOMPARE(world.controls.Frame1->title(), QStringLiteral("Image Output Option"));
    QCOMPARE(world.controls.Check1->text(), QStringLiteral("Hide this window so screenshot can be taken"));
    QCOMPARE(world.controls.PushButton1->font().pointSizeF(), 11.25);
    QVERIFY(world.controls.PushButton1->font().bold());
    QCOMPARE(world.controls.Option1->font().pointSizeF(), 9.0);
    QVERIFY(world.controls.Option1->font().families().contains(QStringLiteral("Arial")));
    const Qt::WindowFlags flags = form.windowFlags();
    QVERIFY(flags & Qt::WindowMinimizeButtonHint);
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
}

void TestForm1Window::focusStartsInTheHiddenTextBox()
{
    World world;
    Form1& form = world.load();
    form.show();
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QCOMPARE(QApplication::focusWidget(), world.controls.Text2);
    QCOMPARE(world.controls.Text2->text(), QStringLiteral("Text2"));
    QList<QWidget*> chain;
    for (QWidget* next = world.controls.Text2->nextInFocusChain(); next != world.controls.Text2 && chain.size() < 20;
         next = next->nextInFocusChain()) {
        if (next->focusPolicy() & Qt::TabFocus)
            chain << next;
    }
    QCOMPARE(chain, (QList<QWidget*>{world.controls.Option1, world.controls.Option2, world.controls.Text1,
                                     world.controls.PushButton4, world.controls.Check1, world.controls.PushButton1}));
}

void TestForm1Window::iconGetsItsLargeSizesOnceTheWindowIsPainted()
{
    World world;
    Form1& form = world.load();
    const auto sides = [&form] {
        QList<int> list;
        for (const QSize& size : form.windowIcon().availableSizes()) {
            list << size.width();
        }
        return list;
    };
    QCOMPARE(sides(), QList<int>({16, 24, 32, 48, 64}));
    QSignalSpy shown(&form, &Form1::firstFrameShown);
    form.show();
    QTRY_COMPARE(shown.count(), 1);
    QCOMPARE(sides(), QList<int>({16, 24, 32, 48, 64, 128, 256}));

    // Sizes between the drawn ones, and beyond them.
    const QIcon icon = form.windowIcon();
    QCOMPARE(icon.pixmap(QSize(20, 20)).size(), QSize(20, 20));
    QCOMPARE(icon.pixmap(QSize(100, 40)).size(), QSize(40, 40));
    QCOMPARE(icon.pixmap(QSize(1000, 1000)).size(), QSize(256, 256));
    QCOMPARE(icon.pixmap(QSize(32, 32)).toImage(),
             programIconImage(32).convertToFormat(QImage::Format_ARGB32_Premultiplied));
    QCOMPARE(icon.pixmap(QSize(32, 32), QIcon::Disabled).size(), QSize(32, 32));
}

void TestForm1Window::closingYieldsOnceAndEndsTheProcess()
{
    World world;
    Form1& form = world.load();
    form.show();
    world.probe.failing.insert({QString::fromLatin1(Location::Form1_Form_QueryUnload), 100});
    QVERIFY(form.close());
    QCOMPARE(world.ends, 1);
    // The failing yield was reported and the process still ended; nothing asked the user anything else.
    QCOMPARE(world.dialogs.boxes.size(), 1);
    QVERIFY(world.dialogs.boxes[0].text.contains(QStringLiteral("Form1.Form_QueryUnload at line 100")));
}

void TestForm1Window::showingTheVisibleWindowBringsItForward()
{
    // With the box clear the main window stays visible under the overlay; the run's end must bring it forward.
    World world;
    Form1& form = world.load();
    form.show();
    QWidget other;
    other.show();
    other.activateWindow();
    QTRY_COMPARE(QApplication::activeWindow(), &other);
    form.showMainWindow();
    QTRY_COMPARE(QApplication::activeWindow(), &form);
}

QTEST_MAIN(TestForm1Window)
#include "tst_Form1Window.moc"
