#include "capture/Form2.h"
#include "capture/OverlayMapping.h"
#include "capture/ShapeRect.h"
#include "fakes/FakeMainWindow.h"
#include "imaging/Picture.h"
#include "platform/errors/ErrorReport.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPointer>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

namespace {

const QString LoadAt = QString::fromLatin1(Location::Form2_Form_Load);
const QString ActivateAt = QString::fromLatin1(Location::Form2_Form_Activate);
const QString DownAt = QString::fromLatin1(Location::Form2_Form_MouseDown);
const QString MoveAt = QString::fromLatin1(Location::Form2_Form_MouseMove);
const QString UpAt = QString::fromLatin1(Location::Form2_Form_MouseUp);

// The colour FakeScreen shows at a device pixel.
QRgb patternAt(int x, int y)
{
    return qRgb((x ^ y) & 0xff, y & 0xff, x & 0xff);
}

QString reportHead(const QString& description, const QString& location, int line)
{
    return description + QStringLiteral("\r\n") + location + QStringLiteral("at line ") + QString::number(line) +
           QStringLiteral("\r\r");
}

void runDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// One overlay over fake services, a fake main window and a real output folder.
struct Rig {
    FakeCaptureServices fake;
    FakeMainWindow main;
    QTemporaryDir folder;
    QPointer<Form2> form;

    Rig()
    {
        main.folder = folder.path() + QLatin1Char('/');
        form = new Form2(fake.services, &main);
    }
    ~Rig() { delete form.data(); }
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    float twipsX(qreal pixels) const { return static_cast<float>(pixels * form->screen().TwipsPerPixelX); }
    float twipsY(qreal pixels) const { return static_cast<float>(pixels * form->screen().TwipsPerPixelY); }

    // Presses at the first point, moves through the others (device pixels), with the left button held.
    void drag(const QList<QPointF>& points)
    {
        form->Form_MouseDown(1, 0, twipsX(points[0].x()), twipsY(points[0].y()));
        for (qsizetype i = 1; i < points.size(); ++i)
            form->Form_MouseMove(1, 0, twipsX(points[i].x()), twipsY(points[i].y()));
    }
    void release(qint16 button = 1) { form->Form_MouseUp(button, 0, 0, 0); }

    QStringList files() const { return QDir(folder.path()).entryList(QDir::Files, QDir::Name); }
    QList<int> reportedLines() const
    {
        QList<int> lines;
        for (const FakeDialogs::Box& box : fake.dialogs.boxes) {
            if (box.title == QStringLiteral("Application Error"))
                lines.append(box.text.section(QStringLiteral("at line "), 1).section(QLatin1Char('\r'), 0, 0).toInt());
        }
        return lines;
    }
    int doneBoxes() const
    {
        int count = 0;
        for (const FakeDialogs::Box& box : fake.dialogs.boxes)
            count += box.text == QStringLiteral("Done.") ? 1 : 0;
        return count;
    }
};

} // namespace

class TestForm2 : public QObject {
    Q_OBJECT
private slots:
    void bandFollowsThePointer_data();
    void bandFollowsThePointer();
    void movesThatLeaveTheBandAlone();
    void failingMoveTestRunsTheBlockItGuards_data();
    void failingMoveTestRunsTheBlockItGuards();
    void bandRepaintsOnlyWhatChanged_data();
    void bandRepaintsOnlyWhatChanged();
    void drawsThePictureUnscaledWithTheBandOnTop();
    void loadClearsTheClipboard_data();
    void loadClearsTheClipboard();
    void grabFailureShowsTheOverlayWithoutPicture();
    void topmostUntilTheFirstMouseDown();
    void iconGetsItsLargeSizesOnceTheOverlayIsPainted();
    void injectedFailureIsReportedAndTheHandlerGoesOn_data();
    void injectedFailureIsReportedAndTheHandlerGoesOn();
    void mouseUpSavesOrAbandons_data();
    void mouseUpSavesOrAbandons();
    void wholeSizesAreExactAtEveryScale_data();
    void wholeSizesAreExactAtEveryScale();
    void bandPastThe16BitRangeOverflows();
    void rightReleaseLeavesTheDragGoing();
    void failedSaveIsReportedWithoutDone_data();
    void failedSaveIsReportedWithoutDone();
    void twoCapturesInOneSecondGiveTwoFiles();
    void windowEventsReachTheHandlersInTwips_data();
    void windowEventsReachTheHandlersInTwips();
    void overlayViewAtEveryScale_data();
    void overlayViewAtEveryScale();
    void pictureLaidOverByTheWindowingSystem_data();
    void pictureLaidOverByTheWindowingSystem();
    void secondPressOfTheOpeningDoubleClickIsIgnored_data();
    void secondPressOfTheOpeningDoubleClickIsIgnored();
    void escapeAndCloseAbandonTheRun_data();
    void escapeAndCloseAbandonTheRun();
};

void TestForm2::bandFollowsThePointer_data()
{
    QTest::addColumn<QList<QPointF>>("points"); // twips: the mouse-down, then the moves
    QTest::addColumn<QRectF>("band");           // Left, Top, Width, Height in twips
    QTest::newRow("right and down") << QList<QPointF>{{1500, 1500}, {3000, 2400}} << QRectF(1500, 1500, 1500, 900);
    QTest::newRow("left and up") << QList<QPointF>{{3000, 2400}, {1500, 1500}} << QRectF(1500, 1500, 1500, 900);
    QTest::newRow("left and down") << QList<QPointF>{{3000, 1500}, {1500, 2400}} << QRectF(1500, 1500, 1500, 900);
    QTest::newRow("right and up") << QList<QPointF>{{1500, 2400}, {3000, 1500}} << QRectF(1500, 1500, 1500, 900);
    QTest::newRow("back across the anchor")
        << QList<QPointF>{{1500, 1500}, {3000, 2400}, {900, 600}} << QRectF(900, 600, 600, 900);
    QTest::newRow("level on y keeps the corner")
        << QList<QPointF>{{3000, 3000}, {1500, 1500}, {4500, 3000}} << QRectF(1500, 1500, 1500, 0);
    QTest::newRow("level on x keeps the corner")
        << QList<QPointF>{{3000, 3000}, {4500, 4500}, {3000, 1500}} << QRectF(3000, 3000, 0, 1500);
    QTest::newRow("first move level keeps the design corner")
        << QList<QPointF>{{1500, 1500}, {1500, 1500}} << QRectF(840, 1200, 0, 0);
}

void TestForm2::bandFollowsThePointer()
{
    QFETCH(QList<QPointF>, points);
    QFETCH(QRectF, band);
    Rig rig;
    rig.form->Show();
    rig.form->Form_MouseDown(1, 0, float(points[0].x()), float(points[0].y()));
    for (qsizetype i = 1; i < points.size(); ++i)
        rig.form->Form_MouseMove(1, 0, float(points[i].x()), float(points[i].y()));
    const Form2::BandView shown = rig.form->band();
    QCOMPARE(shown.shape, band);
    QVERIFY(shown.visible);
    // A band without width or height encloses no pixel and is not drawn.
    const QRect pixels = QRectF(band.topLeft() / 15, band.size() / 15).toRect();
    QCOMPARE(shown.drawn, pixels.isEmpty() ? QRect() : pixels);
    QVERIFY(shown.dragging);
    QCOMPARE(shown.pointer, points.last());
    QVERIFY(rig.fake.dialogs.boxes.isEmpty());
}

void TestForm2::movesThatLeaveTheBandAlone()
{
    Rig rig;
    rig.form->Show();
    Form2& form = *rig.form;

    // Before any mouse-down a move only stores where the pointer is.
    form.Form_MouseMove(0, 0, 450, 600);
    QCOMPARE(form.band().pointer, QPointF(450, 600));
    QVERIFY(!form.band().visible);
    QCOMPARE(form.band().shape.size(), QSizeF(0, 0));
    QVERIFY(!form.band().dragging);

    // The right button alone changes nothing, not even the pointer; with another button it is a drag move.
    form.Form_MouseDown(1, 0, 1500, 1500);
    form.Form_MouseMove(1, 0, 3000, 2400);
    form.Form_MouseMove(2, 0, 6000, 6000);
    QCOMPARE(form.band().pointer, QPointF(3000, 2400));
    QCOMPARE(form.band().shape.width(), 1500.0);
    form.Form_MouseMove(3, 0, 2250, 1950);
    QCOMPARE(form.band().shape.size(), QSizeF(750, 450));

    // No button held while a drag is under way: the band still follows.
    form.Form_MouseMove(0, 0, 4500, 3000);
    QCOMPARE(form.band().shape, QRectF(1500, 1500, 3000, 1500));
    QCOMPARE(form.band().drawn, QRect(100, 100, 200, 100));
}

void TestForm2::failingMoveTestRunsTheBlockItGuards_data()
{
    QTest::addColumn<int>("line");
    QTest::addColumn<QList<QPoint>>("points"); // pixels: the mouse-down (none when null), then the moves
    QTest::addColumn<QRect>("band");           // Left, Top, Width, Height in pixels after the last move, which fails
    // Idle, the anchor is still 0, 0: the band grows from the screen's corner.
    QTest::newRow("106 while idle") << 106 << QList<QPoint>{{}, {30, 40}} << QRect(0, 0, 30, 40);
    // Level with the anchor the corner would stay at 2, 5; the failed test puts it on the anchor.
    QTest::newRow("114 level") << 114 << QList<QPoint>{{10, 20}, {2, 5}, {30, 20}} << QRect(10, 20, 20, 0);
    // A later failing test overrides what the test that held had set.
    QTest::newRow("120 right and down") << 120 << QList<QPoint>{{10, 20}, {30, 40}} << QRect(10, 40, 20, 20);
    QTest::newRow("126 right and down") << 126 << QList<QPoint>{{10, 20}, {30, 40}} << QRect(30, 40, 20, 20);
    QTest::newRow("132 right and down") << 132 << QList<QPoint>{{10, 20}, {30, 40}} << QRect(30, 20, 20, 20);
}

void TestForm2::failingMoveTestRunsTheBlockItGuards()
{
    QFETCH(int, line);
    QFETCH(QList<QPoint>, points);
    QFETCH(QRect, band);
    Rig rig;
    rig.form->Show();
    if (!points[0].isNull())
        rig.form->Form_MouseDown(1, 0, rig.twipsX(points[0].x()), rig.twipsY(points[0].y()));
    for (qsizetype i = 1; i < points.size(); ++i) {
        if (i == points.size() - 1)
            rig.fake.probe.failing.insert({MoveAt, line});
        rig.form->Form_MouseMove(1, 0, rig.twipsX(points[i].x()), rig.twipsY(points[i].y()));
    }
    QCOMPARE(rig.form->band().shape,
             QRectF(rig.twipsX(band.x()), rig.twipsY(band.y()), rig.twipsX(band.width()), rig.twipsY(band.height())));
    QVERIFY(rig.form->band().visible);
    QCOMPARE(rig.reportedLines(), QList<int>{line});
}

void TestForm2::bandRepaintsOnlyWhatChanged_data()
{
    QTest::addColumn<QRect>("before");
    QTest::addColumn<QRect>("after");
    QTest::addColumn<QList<QPoint>>("dirty");
    QTest::addColumn<QList<QPoint>>("clean");
    QTest::newRow("grows by a pixel") << QRect(10, 10, 100, 50) << QRect(10, 10, 101, 50)
                                      << QList<QPoint>{{10, 10}, {109, 30}, {110, 30}, {50, 59}}
                                      << QList<QPoint>{{50, 30}, {108, 30}, {111, 30}};
    QTest::newRow("appears") << QRect() << QRect(0, 0, 3, 3) << QList<QPoint>{{0, 0}, {2, 2}, {1, 0}}
                             << QList<QPoint>{{1, 1}, {3, 3}};
    QTest::newRow("disappears") << QRect(5, 5, 2, 2) << QRect() << QList<QPoint>{{5, 5}, {6, 6}}
                                << QList<QPoint>{{7, 7}, {4, 4}};
    QTest::newRow("unchanged") << QRect(5, 5, 20, 20) << QRect(5, 5, 20, 20) << QList<QPoint>{}
                               << QList<QPoint>{{5, 5}, {10, 10}};
}

void TestForm2::bandRepaintsOnlyWhatChanged()
{
    QFETCH(QRect, before);
    QFETCH(QRect, after);
    QFETCH(QList<QPoint>, dirty);
    QFETCH(QList<QPoint>, clean);
    const QRegion region = ShapeRect::dirtyRegion(before, after);
    for (const QPoint& point : dirty)
        QVERIFY2(region.contains(point), qPrintable(QStringLiteral("(%1, %2)").arg(point.x()).arg(point.y())));
    for (const QPoint& point : clean)
        QVERIFY2(!region.contains(point), qPrintable(QStringLiteral("(%1, %2)").arg(point.x()).arg(point.y())));
}

void TestForm2::drawsThePictureUnscaledWithTheBandOnTop()
{
    Rig rig;
    rig.fake.screen.screen.deviceGeometry = QRect(0, 0, 64, 48);
    rig.form->Show();
    rig.drag({{10, 10}, {30, 20}});
    const QImage shown = rig.form->grab().toImage();
    const QRgb text = rig.form->palette().color(QPalette::WindowText).rgb();
    QCOMPARE(shown.pixel(5, 40), patternAt(5, 40));
    QCOMPARE(shown.pixel(15, 15), patternAt(15, 15));
    QCOMPARE(shown.pixel(30, 20), patternAt(30, 20));
    for (const QPoint& corner : {QPoint(10, 10), QPoint(29, 10), QPoint(10, 19), QPoint(29, 19)})
        QCOMPARE(shown.pixel(corner), text);
}

void TestForm2::loadClearsTheClipboard_data()
{
    QTest::addColumn<int>("locked");
    QTest::addColumn<int>("attempts");
    QTest::newRow("free") << 0 << 1;
    QTest::newRow("locked for three tries") << 3 << 4;
    QTest::newRow("locked for good") << -1 << 1000;
}

void TestForm2::loadClearsTheClipboard()
{
    QFETCH(int, locked);
    QFETCH(int, attempts);
    Rig rig;
    rig.fake.clipboard.lockedAttempts = locked;
    rig.form->Form_Load();
    QCOMPARE(rig.fake.clipboard.attempts, attempts);
    QVERIFY(rig.fake.dialogs.boxes.isEmpty());
    QVERIFY(rig.form->hasPicture());
}

void TestForm2::grabFailureShowsTheOverlayWithoutPicture()
{
    Rig rig;
    rig.fake.screen.grabFails = true;
    rig.form->Show();
    QCOMPARE(rig.fake.dialogs.boxes.size(), 1);
    QVERIFY(
        rig.fake.dialogs.boxes[0].text.startsWith(reportHead(QStringLiteral("Cannot read the screen"), LoadAt, 116)));
    QVERIFY(rig.form->isVisible());
    QVERIFY(!rig.form->hasPicture());
    QVERIFY(!rig.form->grab().isNull());
}

void TestForm2::topmostUntilTheFirstMouseDown()
{
    Rig rig;
    rig.form->Show();
    const WId window = rig.form->winId();
    rig.form->Form_Activate();
    QVERIFY(rig.form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(rig.form->windowFlags().testFlag(Qt::FramelessWindowHint));
    rig.form->Form_MouseDown(1, 0, 150, 150);
    QVERIFY(!rig.form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    rig.form->Form_Activate();
    QVERIFY(rig.form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(rig.form->isVisible());
    QCOMPARE(rig.form->winId(), window); // never re-created
}

void TestForm2::iconGetsItsLargeSizesOnceTheOverlayIsPainted()
{
    Rig rig;
    const auto sides = [&rig] {
        QList<int> list;
        for (const QSize& size : rig.form->windowIcon().availableSizes())
            list << size.width();
        return list;
    };
    rig.form->Show();
    QCOMPARE(sides(), QList<int>({16, 24, 32, 48, 64}));
    QTRY_COMPARE(sides(), QList<int>({16, 24, 32, 48, 64, 128, 256}));
}

void TestForm2::injectedFailureIsReportedAndTheHandlerGoesOn_data()
{
    QTest::addColumn<QString>("location");
    QTest::addColumn<int>("line");
    QTest::addColumn<QList<int>>("reported");
    QTest::addColumn<int>("lastLine"); // the last step the handler ran

    // The cursor test fails, so the load of the (missing) cursor runs and fails in turn.
    QTest::newRow("load 100") << LoadAt << 100 << QList<int>{100, 102} << 116;
    for (int line = 102; line <= 116; line += 2)
        QTest::addRow("load %d", line) << LoadAt << line << QList<int>{line} << 116;
    QTest::newRow("activate 100") << ActivateAt << 100 << QList<int>{100} << 100;
    for (int line = 100; line <= 106; line += 2)
        QTest::addRow("mouse-down %d", line) << DownAt << line << QList<int>{line} << 106;
    for (int line = 102; line <= 138; line += 2)
        QTest::addRow("mouse-move %d", line) << MoveAt << line << QList<int>{line} << 138;
    for (int line : {102, 110, 112, 114, 116, 118, 128, 130, 132, 134, 138, 140, 142, 144})
        QTest::addRow("mouse-up %d", line) << UpAt << line << QList<int>{line} << 144;
    // Without its source the clip fails too; without its width or height it is empty and cannot be saved.
    QTest::newRow("mouse-up 104") << UpAt << 104 << QList<int>{104, 128} << 144;
    QTest::newRow("mouse-up 120") << UpAt << 120 << QList<int>{120, 136} << 144;
    QTest::newRow("mouse-up 122") << UpAt << 122 << QList<int>{122, 136} << 144;
    // A failing size test abandons the capture, and the handler ends there.
    QTest::newRow("mouse-up 124") << UpAt << 124 << QList<int>{124} << 126;
}

void TestForm2::injectedFailureIsReportedAndTheHandlerGoesOn()
{
    QFETCH(QString, location);
    QFETCH(int, line);
    QFETCH(QList<int>, reported);
    QFETCH(int, lastLine);
    Rig rig;
    if (location != LoadAt) {
        rig.form->Show();
        if (location != ActivateAt && location != DownAt) {
            rig.drag({{10, 20}, {40, 50}});
        }
    }
    rig.fake.probe.failing.insert({location, line});
    rig.fake.probe.steps.clear();
    if (location == LoadAt)
        rig.form->Form_Load();
    else if (location == ActivateAt)
        rig.form->Form_Activate();
    else if (location == DownAt)
        rig.form->Form_MouseDown(1, 0, 150, 300);
    else if (location == MoveAt) {
        // Each direction's pair of steps runs only for a move in that direction (anchor at 10, 20 pixels).
        const QPoint to = line == 122 || line == 124   ? QPoint(60, 5)
                          : line == 128 || line == 130 ? QPoint(2, 5)
                          : line == 134 || line == 136 ? QPoint(2, 70)
                                                       : QPoint(60, 70);
        rig.form->Form_MouseMove(1, 0, rig.twipsX(to.x()), rig.twipsY(to.y()));
    } else {
        rig.main.format = line == 134 ? OutputFormat::Bmp : OutputFormat::Jpeg;
        rig.release();
    }

    QCOMPARE(rig.reportedLines(), reported);
    if (location == UpAt && line == 132) // no answer to the format test: the BMP write runs
        QCOMPARE(rig.files(), QStringList{QStringLiteral("Screen Capture 12_06_26_16_49_54.bmp")});
    const auto report = std::find_if(rig.fake.dialogs.boxes.cbegin(), rig.fake.dialogs.boxes.cend(),
                                     [](const FakeDialogs::Box& box) { return box.title == "Application Error"; });
    QVERIFY(report->text.startsWith(reportHead(QStringLiteral("Injected failure"), location, line)));
    QVERIFY(!rig.fake.probe.steps.isEmpty());
    QCOMPARE(rig.fake.probe.steps.last(), qMakePair(location, lastLine));
}

void TestForm2::mouseUpSavesOrAbandons_data()
{
    QTest::addColumn<double>("ratio");
    QTest::addColumn<bool>("jpeg");
    QTest::addColumn<QList<QPointF>>("points"); // device pixels: the mouse-down, then the moves
    QTest::addColumn<qint16>("button");
    QTest::addColumn<QRect>("saved"); // the region in device pixels; empty: abandoned

    using Points = QList<QPointF>;
    QTest::newRow("BMP 2x2") << 1.0 << false << Points{{10, 20}, {12, 22}} << qint16(1) << QRect(10, 20, 2, 2);
    QTest::newRow("middle release") << 1.0 << false << Points{{10, 20}, {50, 60}} << qint16(4) << QRect(10, 20, 40, 40);
    QTest::newRow("up and left") << 1.0 << false << Points{{50, 60}, {30, 30}, {10, 20}} << qint16(1)
                                 << QRect(10, 20, 40, 40);
    QTest::newRow("JPEG") << 1.0 << true << Points{{10, 20}, {110, 70}} << qint16(1) << QRect(10, 20, 100, 50);
    QTest::newRow("click without drag") << 1.0 << false << Points{{10, 20}} << qint16(1) << QRect();
    QTest::newRow("1 pixel wide") << 1.0 << false << Points{{10, 20}, {11, 60}} << qint16(1) << QRect();
    QTest::newRow("1 pixel high") << 1.0 << false << Points{{10, 20}, {60, 21}} << qint16(1) << QRect();
    QTest::newRow("halves round to even")
        << 1.0 << false << Points{{2.5, 3.5}, {6.5, 7.5}} << qint16(1) << QRect(2, 4, 4, 4);
    QTest::newRow("scale 2, odd pixels") << 2.0 << false << Points{{101, 51}, {104, 55}} << qint16(1)
                                         << QRect(101, 51, 3, 4);
    QTest::newRow("scale 1.5") << 1.5 << false << Points{{301, 151}, {200, 100}} << qint16(1)
                               << QRect(200, 100, 101, 51);
}

void TestForm2::mouseUpSavesOrAbandons()
{
    QFETCH(double, ratio);
    QFETCH(bool, jpeg);
    QFETCH(QList<QPointF>, points);
    QFETCH(qint16, button);
    QFETCH(QRect, saved);
    Rig rig;
    rig.fake.screen.screen.deviceGeometry = QRect(0, 0, 640, 480);
    rig.fake.screen.screen.devicePixelRatio = ratio;
    delete rig.form.data();
    rig.form = new Form2(rig.fake.services, &rig.main);
    rig.main.format = jpeg ? OutputFormat::Jpeg : OutputFormat::Bmp;
    rig.form->Show();
    rig.drag(points);
    rig.release(button);
    QVERIFY(!rig.form->isVisible());
    runDeferredDeletes();
    QVERIFY(!rig.form); // unloaded either way
    QCOMPARE(rig.main.log, QStringList{QStringLiteral("show")});
    QVERIFY(rig.reportedLines().isEmpty());

    if (saved.isEmpty()) {
        QVERIFY(rig.files().isEmpty());
        QVERIFY(rig.fake.dialogs.boxes.isEmpty());
        return;
    }
    const QString name =
        QStringLiteral("Screen Capture 12_06_26_16_49_54") + (jpeg ? QStringLiteral(".jpg") : QStringLiteral(".bmp"));
    QCOMPARE(rig.files(), QStringList{name});
    QCOMPARE(rig.fake.dialogs.boxes.size(), 1);
    QCOMPARE(rig.fake.dialogs.boxes[0].title, rig.main.applicationTitle());
    QCOMPARE(rig.fake.dialogs.boxes[0].text, QStringLiteral("Done."));
    QCOMPARE(rig.fake.dialogs.boxes[0].icon, Dialogs::Icon::None);

    const QImage image(rig.folder.filePath(name));
    QCOMPARE(image.size(), saved.size());
    if (jpeg)
        return;
    for (int y = 0; y < saved.height(); ++y)
        for (int x = 0; x < saved.width(); ++x)
            QCOMPARE(image.pixel(x, y) | 0xff000000u, patternAt(saved.x() + x, saved.y() + y));
}

void TestForm2::wholeSizesAreExactAtEveryScale_data()
{
    QTest::addColumn<double>("ratio");
    QTest::addColumn<double>("dpi");
    for (double ratio : {1.0, 1.25, 1.5, 1.75, 2.0, 2.25})
        QTest::addRow("ratio %g", ratio) << ratio << 96.0;
    for (double dpi : {100.0, 108.0, 110.0, 120.0})
        QTest::addRow("%g dpi", dpi) << 1.0 << dpi;
}

void TestForm2::wholeSizesAreExactAtEveryScale()
{
    QFETCH(double, ratio);
    QFETCH(double, dpi);
    Rig rig;
    rig.fake.screen.screen = {QRect(0, 0, 1920, 1440), dpi, dpi, ratio};
    rig.form->Show();
    // Drawn on exactly the pixels between anchor and pointer, whichever way it goes.
    const QPoint anchor(1501, 1203);
    for (int size = 0; size <= 64; ++size) {
        for (int sign : {1, -1}) {
            rig.drag({anchor, anchor + sign * QPoint(size, size)});
            const QRect expected =
                size == 0 ? QRect()
                          : QRect(anchor + QPoint(sign < 0 ? -size : 0, sign < 0 ? -size : 0), QSize(size, size));
            QCOMPARE(rig.form->band().drawn, expected);
        }
    }
    // A band drawn 2 by 2 is saved 2 by 2.
    rig.drag({anchor, anchor + QPoint(2, 2)});
    rig.release();
    QCOMPARE(rig.files().size(), 1);
    const QImage image(rig.folder.filePath(rig.files()[0]));
    QCOMPARE(image.size(), QSize(2, 2));
    QCOMPARE(image.pixel(1, 1) | 0xff000000u, patternAt(anchor.x() + 1, anchor.y() + 1));
}

void TestForm2::bandPastThe16BitRangeOverflows()
{
    // The clip rectangle holds signed 16-bit numbers: a band 40000 pixels wide fails at its width.
    Rig rig;
    rig.form->Show();
    rig.drag({{10, 20}, {40010, 50}});
    rig.release();
    QCOMPARE(rig.reportedLines().value(0), 120);
    QVERIFY(rig.fake.dialogs.boxes[0].text.startsWith(reportHead(QStringLiteral("Overflow"), UpAt, 120)));
}

void TestForm2::rightReleaseLeavesTheDragGoing()
{
    Rig rig;
    rig.main.folder = rig.folder.path(); // typed by hand, without the separator
    rig.form->Show();
    rig.drag({{10, 20}, {20, 30}});
    rig.release(2);
    QVERIFY(rig.form->isVisible());
    QVERIFY(rig.form->band().dragging);
    QVERIFY(rig.files().isEmpty());
    rig.form->Form_MouseMove(1, 0, rig.twipsX(30), rig.twipsY(35));
    rig.release(1);
    QCOMPARE(rig.files(), QStringList{QStringLiteral("Screen Capture 12_06_26_16_49_54.bmp")});
    QCOMPARE(QImage(rig.folder.filePath(rig.files()[0])).size(), QSize(20, 15));
}

void TestForm2::failedSaveIsReportedWithoutDone_data()
{
    QTest::addColumn<bool>("jpeg");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("description");
    QTest::newRow("JPEG") << true << 136 << QStringLiteral("Cannot save the image. GDI+ Error:");
    QTest::newRow("BMP") << false << 134 << QString();
}

void TestForm2::failedSaveIsReportedWithoutDone()
{
    QFETCH(bool, jpeg);
    QFETCH(int, line);
    QFETCH(QString, description);
    Rig rig;
    rig.main.format = jpeg ? OutputFormat::Jpeg : OutputFormat::Bmp;
    rig.main.hide = 1;
    rig.main.visible = false;
    rig.main.folder = rig.folder.path() + QStringLiteral("/gone/");
    rig.form->Show();
    rig.drag({{10, 20}, {40, 50}});
    rig.release();
    QCOMPARE(rig.reportedLines(), QList<int>{line});
    const QString text = rig.fake.dialogs.boxes[0].text;
    QVERIFY2(text.startsWith(description), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("\r\n") + UpAt + QStringLiteral("at line ") + QString::number(line)),
             qPrintable(text));
    QCOMPARE(rig.doneBoxes(), 0);
    QVERIFY(rig.main.visible);
    QVERIFY(!rig.form->band().visible);
    runDeferredDeletes();
    QVERIFY(!rig.form);
    QVERIFY(!QDir(rig.folder.filePath(QStringLiteral("gone"))).exists());
}

void TestForm2::twoCapturesInOneSecondGiveTwoFiles()
{
    Rig rig;
    for (int run = 0; run < 2; ++run) {
        if (run > 0)
            rig.form = new Form2(rig.fake.services, &rig.main);
        rig.form->Show();
        rig.drag({{10, 20}, {40, 50}});
        rig.release();
        runDeferredDeletes();
    }
    QCOMPARE(rig.files().size(), 2);
    QVERIFY(rig.files().contains(QStringLiteral("Screen Capture 12_06_26_16_49_54.bmp")));
    QCOMPARE(rig.doneBoxes(), 2);
}

void TestForm2::windowEventsReachTheHandlersInTwips_data()
{
    // The screen's pixels per logical pixel, under a toolkit that draws at 1: the output's scale where a compositor
    // scales the overlay (XWayland, or Qt before 6.5 at a fractional Wayland scale).
    QTest::addColumn<double>("scale");
    QTest::addColumn<QRect>("band"); // picture pixels, for a drag from (8, 20) to (32, 44) in logical ones
    QTest::newRow("1") << 1.0 << QRect(8, 20, 24, 24);
    QTest::newRow("1.25") << 1.25 << QRect(10, 25, 30, 30);
    QTest::newRow("1.5") << 1.5 << QRect(12, 30, 36, 36);
    QTest::newRow("1.75") << 1.75 << QRect(14, 35, 42, 42);
    QTest::newRow("2") << 2.0 << QRect(16, 40, 48, 48);
}

void TestForm2::windowEventsReachTheHandlersInTwips()
{
    QFETCH(double, scale);
    QFETCH(QRect, band);
    Rig rig;
    const QSize logical = QGuiApplication::primaryScreen()->size();
    rig.fake.screen.screen = {QRect(QPoint(0, 0), (QSizeF(logical) * scale).toSize()), 96.0, 96.0, scale};
    rig.form->Show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.form.data()));
    // Each picture pixel shows within a device pixel of where the screen had it (blue is x, green y, below 256).
    const QImage shown = rig.form->grab().toImage();
    for (const QPoint& at : {QPoint(3, 4), QPoint(50, 20), QPoint(90, 100)}) {
        const QRgb pixel = shown.pixel(at);
        QVERIFY2(std::abs(qBlue(pixel) - at.x() * scale) <= 1.5 && std::abs(qGreen(pixel) - at.y() * scale) <= 1.5,
                 qPrintable(QStringLiteral("(%1, %2) shows %3").arg(at.x()).arg(at.y()).arg(pixel, 0, 16)));
    }
    // Twips do not depend on the scale; the picture's pixels do.
    QTest::mousePress(rig.form.data(), Qt::LeftButton, {}, QPoint(8, 20));
    QCOMPARE(rig.form->band().anchor, QPointF(120, 300));
    QTest::mouseMove(rig.form.data(), QPoint(32, 44));
    QCOMPARE(rig.form->band().pointer, QPointF(480, 660));
    QCOMPARE(rig.form->band().drawn, band);
    QTest::mouseRelease(rig.form.data(), Qt::LeftButton, {}, QPoint(32, 44));
    const QImage saved(rig.folder.filePath(rig.files().value(0)));
    QCOMPARE(saved.size(), band.size());
    QCOMPARE(saved.pixel(0, 0) | 0xff000000u, patternAt(band.x(), band.y()));
}

void TestForm2::overlayViewAtEveryScale_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<double>("scaleX");
    QTest::addColumn<double>("scaleY");
    QTest::addColumn<double>("ratio"); // the toolkit's device pixels per logical pixel
    QTest::addColumn<QSize>("view");   // empty: the picture itself
    // 1280 x 800 output pixels laid out as 853 x 533 logical ones at 150%, 1024 x 640 at 125%.
    const double x15 = 1280.0 / 853, y15 = 800.0 / 533;
    QTest::newRow("whole scale") << QSize(2560, 1600) << 2.0 << 2.0 << 2.0 << QSize();
    QTest::newRow("150%, drawn at 1.5 (Qt 6.5)") << QSize(1280, 800) << x15 << y15 << 1.5 << QSize();
    QTest::newRow("150%, a row lost, drawn at 1.5") << QSize(1280, 799) << x15 << 799.0 / 533 << 1.5 << QSize();
    QTest::newRow("125%, drawn at 1.25 (Qt 6.5)") << QSize(1280, 800) << 1.25 << 1.25 << 1.25 << QSize();
    QTest::newRow("150%, drawn at 2") << QSize(1280, 800) << x15 << y15 << 2.0 << QSize(1706, 1066);
    QTest::newRow("125%, drawn at 2") << QSize(1280, 800) << 1.25 << 1.25 << 2.0 << QSize(2048, 1280);
    QTest::newRow("150% under XWayland") << QSize(1280, 800) << x15 << y15 << 1.0 << QSize(853, 533);
}

void TestForm2::overlayViewAtEveryScale()
{
    QFETCH(QSize, picture);
    QFETCH(double, scaleX);
    QFETCH(double, scaleY);
    QFETCH(double, ratio);
    QFETCH(QSize, view);
    QImage image(picture, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    const QImage drawn = overlayViewOf(image, {scaleX, scaleY}, ratio);
    if (view.isEmpty()) {
        QCOMPARE(drawn.cacheKey(), image.cacheKey()); // not a copy
    } else {
        QCOMPARE(drawn.size(), view);
        QCOMPARE(drawn.pixel(view.width() / 2, view.height() / 2), QColor(Qt::darkCyan).rgb());
    }
}

void TestForm2::pictureLaidOverByTheWindowingSystem_data()
{
    QTest::addColumn<double>("scale"); // the output's pixels per logical pixel; the toolkit draws at 1
    QTest::addColumn<bool>("offered"); // the windowing system can lay the picture over a window
    QTest::addColumn<bool>("laid");
    QTest::newRow("a copy would be drawn: the windowing system shows the picture") << 1.5 << true << true;
    QTest::newRow("a copy would be drawn: the windowing system cannot") << 1.5 << false << false;
    QTest::newRow("the overlay draws the picture unscaled") << 1.0 << true << false;
}

void TestForm2::pictureLaidOverByTheWindowingSystem()
{
    QFETCH(double, scale);
    QFETCH(bool, offered);
    QFETCH(bool, laid);
    Rig rig;
    const QSize logical = QGuiApplication::primaryScreen()->size();
    const QSize picture = (QSizeF(logical) * scale).toSize();
    rig.fake.screen.screen = {QRect(QPoint(0, 0), picture), 96.0, 96.0, scale};
    if (offered)
        rig.fake.screen.laid = std::make_shared<FakeScreen::Laid>();
    rig.form->Show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.form.data()));
    rig.drag({{12, 30}, {48, 66}, {60, 90}});
    const QRect band = rig.form->band().drawn;
    // Inside the band, away from its border: the picture, or plain where the windowing system shows it instead.
    const QRgb inside = rig.form->grab().toImage().pixel(QPointF(band.center() / scale).toPoint());
    if (laid) {
        QCOMPARE(rig.fake.screen.laid->picture, picture);
        QCOMPARE(rig.fake.screen.laid->bands.size(), 2);
        QCOMPARE(rig.fake.screen.laid->bands.last(), ShapeRect::border(band));
        QCOMPARE(inside, rig.form->palette().color(QPalette::Window).rgb());
    } else {
        QVERIFY(!offered || rig.fake.screen.laid->picture.isEmpty());
        QVERIFY(inside != rig.form->palette().color(QPalette::Window).rgb());
    }
    rig.release();
    QCOMPARE(QImage(rig.folder.filePath(rig.files().value(0))).size(), band.size());
    if (laid)
        QVERIFY(rig.fake.screen.laid->removed);
}

void TestForm2::secondPressOfTheOpeningDoubleClickIsIgnored_data()
{
    QTest::addColumn<qint64>("opening"); // the press that opened the overlay; -1: none (keyboard)
    QTest::addColumn<quint64>("press");  // server times in milliseconds; the interval is 400
    QTest::addColumn<bool>("ignored");
    QTest::newRow("opened from the keyboard") << qint64(-1) << quint64(1100) << false;
    QTest::newRow("399 ms later") << qint64(1000) << quint64(1399) << true;
    QTest::newRow("400 ms later") << qint64(1000) << quint64(1400) << false;
    QTest::newRow("across the wrap of the server time") << qint64(0xffffff00) << quint64(0x10) << true;
}

void TestForm2::secondPressOfTheOpeningDoubleClickIsIgnored()
{
    QFETCH(qint64, opening);
    QFETCH(quint64, press);
    QFETCH(bool, ignored);
    Rig rig;
    if (opening >= 0)
        rig.form->setOpeningPress(quint64(opening));
    rig.form->Show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.form.data()));
    // The press and its release, without a move between them.
    for (const auto& [type, held] :
         {std::pair(QEvent::MouseButtonPress, Qt::LeftButton), std::pair(QEvent::MouseButtonRelease, Qt::NoButton)}) {
        QMouseEvent event(type, QPointF(10, 20), QPointF(10, 20), Qt::LeftButton, held, Qt::NoModifier);
        event.setTimestamp(press);
        QCoreApplication::sendEvent(rig.form.data(), &event);
    }
    runDeferredDeletes();
    QCOMPARE(bool(rig.form), ignored);
    QCOMPARE(rig.main.log.isEmpty(), ignored);
}

void TestForm2::escapeAndCloseAbandonTheRun_data()
{
    QTest::addColumn<bool>("escape");
    QTest::newRow("Esc") << true;
    QTest::newRow("close request") << false;
}

void TestForm2::escapeAndCloseAbandonTheRun()
{
    QFETCH(bool, escape);
    Rig rig;
    rig.main.visible = false;
    rig.form->Show();
    rig.drag({{10, 20}, {40, 50}});
    if (escape)
        QTest::keyClick(rig.form.data(), Qt::Key_Escape);
    else
        rig.form->close();
    runDeferredDeletes();
    QVERIFY(!rig.form);
    QVERIFY(rig.main.visible);
    QVERIFY(rig.files().isEmpty());
    QVERIFY(rig.fake.dialogs.boxes.isEmpty());
}

QTEST_MAIN(TestForm2)
#include "tst_Form2.moc"
