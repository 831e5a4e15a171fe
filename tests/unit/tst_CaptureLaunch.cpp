#include "capture/CaptureLaunch.h"
#include "capture/FileChecks.h"
#include "capture/Form2.h"
#include "fakes/FakeMainWindow.h"
#include "platform/errors/ErrorReport.h"

#include <QApplication>
#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString ClickAt = QString::fromLatin1(Location::Form1_PushButton1_Click);
const QString MissingFolder = QStringLiteral("Folder does not exist. Please select another folder.");

QList<Form2*> overlays()
{
    QList<Form2*> found;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* form = qobject_cast<Form2*>(widget); form && !form->isUnloaded())
            found.append(form);
    }
    return found;
}

// Ends whatever overlay a test left behind.
void unloadOverlays()
{
    for (Form2* form : overlays())
        form->Unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// A folder, a file in it, and paths around them.
struct Paths {
    QTemporaryDir dir;
    QString path(const QString& which) const
    {
        if (which == QStringLiteral("folder"))
            return dir.path();
        if (which == QStringLiteral("folder/"))
            return dir.path() + QLatin1Char('/');
        if (which == QStringLiteral("file"))
            return dir.filePath(QStringLiteral("file.txt"));
        if (which == QStringLiteral("missing"))
            return dir.filePath(QStringLiteral("missing/"));
        return {};
    }
    Paths()
    {
        QFile file(path(QStringLiteral("file")));
        file.open(QIODevice::WriteOnly);
    }
};

// A launch over fakes into an existing folder, with the box ticked.
struct Launch {
    Paths paths;
    FakeCaptureServices fake;
    FakeMainWindow main;
    Launch()
    {
        main.folder = paths.path(QStringLiteral("folder/"));
        main.hide = 1;
    }
    void click() { PushButton1_Click(fake.services, main); }
};

} // namespace

class TestCaptureLaunch : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { unloadOverlays(); }
    void pathTests_data();
    void pathTests();
    void folderDecidesTheRun_data();
    void folderDecidesTheRun();
    void hideFlagHidesBeforeTheGrab_data();
    void hideFlagHidesBeforeTheGrab();
    void screenFailureIsReportedByTheOverlayWhichAClickEnds_data();
    void screenFailureIsReportedByTheOverlayWhichAClickEnds();
    void secondClickBringsTheRunningOverlayForward_data();
    void secondClickBringsTheRunningOverlayForward();
    void overlayLeftByAFailedUnloadDoesNotBlockTheNextRun();
    void overlayWhoseShowFailedIsUnloadedAndTheMainWindowComesBack();
    void injectedFailureIsReportedAndTheLaunchGoesOn_data();
    void injectedFailureIsReportedAndTheLaunchGoesOn();
};

void TestCaptureLaunch::pathTests_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<bool>("folderExists");
    QTest::addColumn<bool>("fileExists");
    QTest::newRow("folder") << QStringLiteral("folder") << true << true;
    QTest::newRow("folder with separator") << QStringLiteral("folder/") << true << true;
    QTest::newRow("file") << QStringLiteral("file") << false << true;
    QTest::newRow("missing") << QStringLiteral("missing") << false << false;
    QTest::newRow("empty") << QString() << false << false;
}

void TestCaptureLaunch::pathTests()
{
    QFETCH(QString, which);
    QFETCH(bool, folderExists);
    QFETCH(bool, fileExists);
    Paths paths;
    QCOMPARE(FolderExists(paths.path(which)), folderExists);
    QCOMPARE(FileExists(paths.path(which)), fileExists);
}

void TestCaptureLaunch::folderDecidesTheRun_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<bool>("starts");
    QTest::newRow("folder with separator") << QStringLiteral("folder/") << true;
    QTest::newRow("folder typed without separator") << QStringLiteral("folder") << true;
    QTest::newRow("missing folder") << QStringLiteral("missing") << false;
    QTest::newRow("empty text") << QString() << false;
    QTest::newRow("a file's path") << QStringLiteral("file") << false;
}

void TestCaptureLaunch::folderDecidesTheRun()
{
    QFETCH(QString, which);
    QFETCH(bool, starts);
    Paths paths;
    FakeCaptureServices fake;
    FakeMainWindow main;
    main.folder = paths.path(which);
    main.hide = 1;
    PushButton1_Click(fake.services, main);
    if (starts) {
        QCOMPARE(overlays().size(), 1);
        QVERIFY(overlays()[0]->isVisible());
        QVERIFY(overlays()[0]->hasPicture());
        QCOMPARE(main.log, QStringList{QStringLiteral("hide")});
        QVERIFY(fake.dialogs.boxes.isEmpty());
        return;
    }
    QVERIFY(overlays().isEmpty());
    QVERIFY(main.log.isEmpty());
    QCOMPARE(fake.screen.grabs, 0);
    QCOMPARE(fake.dialogs.boxes.size(), 1);
    QCOMPARE(fake.dialogs.boxes[0].text, MissingFolder);
    QCOMPARE(fake.dialogs.boxes[0].title, main.applicationTitle());
    QCOMPARE(fake.dialogs.boxes[0].icon, Dialogs::Icon::None);
}

void TestCaptureLaunch::hideFlagHidesBeforeTheGrab_data()
{
    QTest::addColumn<int>("flag");
    QTest::addColumn<bool>("hidden");
    QTest::newRow("clear") << 0 << false;
    QTest::newRow("ticked") << 1 << true;
    QTest::newRow("grayed") << 2 << false;
}

void TestCaptureLaunch::hideFlagHidesBeforeTheGrab()
{
    QFETCH(int, flag);
    QFETCH(bool, hidden);
    Paths paths;
    FakeCaptureServices fake;
    FakeMainWindow main;
    main.folder = paths.path(QStringLiteral("folder/"));
    main.hide = flag;
    PushButton1_Click(fake.services, main);
    QCOMPARE(!main.visible, hidden);
    QCOMPARE(fake.screen.grabs, 1);
    if (hidden) {
        // The hide (104) comes before the overlay photographs the screen (116).
        const auto hideStep = fake.probe.steps.indexOf(qMakePair(ClickAt, 104));
        const auto grabStep = fake.probe.steps.indexOf(qMakePair(QString::fromLatin1(Location::Form2_Form_Load), 116));
        QVERIFY(hideStep >= 0 && grabStep > hideStep);
    }
}

void TestCaptureLaunch::screenFailureIsReportedByTheOverlayWhichAClickEnds_data()
{
    QTest::addColumn<int>("failingCall");
    QTest::newRow("measuring it for the grab") << 1;
    QTest::newRow("reading its pixels") << 2;
    QTest::newRow("measuring it after the grab") << 3;
}

void TestCaptureLaunch::screenFailureIsReportedByTheOverlayWhichAClickEnds()
{
    QFETCH(int, failingCall);
    Launch launch;
    FakeCaptureServices& fake = launch.fake;
    fake.screen.failingCall = failingCall;
    launch.click();
    QCOMPARE(fake.dialogs.boxes.size(), 1);
    QVERIFY(fake.dialogs.boxes[0].text.contains(QStringLiteral("Form2.Form_Load at line 116\r\r")));
    QCOMPARE(overlays().size(), 1);
    QPointer<Form2> overlay = overlays()[0];
    QVERIFY(overlay->isVisible());
    QVERIFY(!overlay->hasPicture());
    QVERIFY(fake.probe.steps.contains(qMakePair(ClickAt, 114)));
    // The plain overlay takes a click, which ends the run and brings the main window back.
    QVERIFY(QTest::qWaitForWindowExposed(overlay.data()));
    QTest::mouseClick(overlay.data(), Qt::LeftButton, {}, QPoint(300, 200));
    QVERIFY(overlay->isUnloaded());
    QCOMPARE(launch.main.log, (QStringList{QStringLiteral("hide"), QStringLiteral("show")}));
    QCOMPARE(fake.dialogs.boxes.size(), 1);
}

void TestCaptureLaunch::secondClickBringsTheRunningOverlayForward_data()
{
    QTest::addColumn<bool>("duringTheLoad");
    QTest::newRow("bounce handled in the load's yield") << true;
    QTest::newRow("after coming back to the main window") << false;
}

void TestCaptureLaunch::secondClickBringsTheRunningOverlayForward()
{
    QFETCH(bool, duringTheLoad);
    Launch launch;
    if (duringTheLoad)
        QMetaObject::invokeMethod(
            qApp, [&] { launch.click(); }, Qt::QueuedConnection);
    launch.click();
    if (!duringTheLoad)
        launch.click();
    QCOMPARE(overlays().size(), 1);
    QCOMPARE(launch.fake.screen.grabs, 1);
    QCOMPARE(launch.main.log, QStringList{QStringLiteral("hide")});
    QVERIFY(launch.fake.dialogs.boxes.isEmpty());
    QCOMPARE(QApplication::activeWindow(), overlays()[0]);
}

void TestCaptureLaunch::overlayLeftByAFailedUnloadDoesNotBlockTheNextRun()
{
    Launch launch;
    launch.fake.probe.failing.insert({QString::fromLatin1(Location::Form2_Form_MouseUp), 144});
    launch.click();
    Form2* first = overlays()[0];
    first->Form_MouseDown(1, 0, 150, 150);
    first->Form_MouseMove(1, 0, 600, 600);
    first->Form_MouseUp(1, 0, 600, 600);
    QVERIFY(!first->isUnloaded() && !first->isVisible());
    launch.click();
    QCOMPARE(launch.fake.screen.grabs, 2);
    QVERIFY(Form2::loaded() && Form2::loaded() != first && Form2::loaded()->isVisible());
}

void TestCaptureLaunch::overlayWhoseShowFailedIsUnloadedAndTheMainWindowComesBack()
{
    Launch launch;
    launch.main.failsStartPress = true;
    launch.click();
    QVERIFY(launch.main.visible);
    QCOMPARE(overlays().size(), 0);
    QCOMPARE(launch.fake.dialogs.boxes.size(), 2); // the failed step, then the focus step with nothing to focus
    launch.main.failsStartPress = false;
    launch.click();
    QCOMPARE(overlays().size(), 1);
    QVERIFY(overlays()[0]->isVisible());
}

void TestCaptureLaunch::injectedFailureIsReportedAndTheLaunchGoesOn_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<int>("line");
    QTest::addColumn<QList<int>>("reported");
    QTest::addColumn<bool>("overlay");
    QTest::addColumn<bool>("hidden");
    QTest::addColumn<bool>("missingFolderBox");
    // The folder test gives no answer: the run starts as if the folder were there.
    QTest::newRow("100") << QStringLiteral("missing") << 100 << QList<int>{100} << true << true << false;
    // The hide test gives no answer: the main window hides although the box is clear.
    QTest::newRow("102") << QStringLiteral("folder") << 102 << QList<int>{102} << true << true << false;
    QTest::newRow("104") << QStringLiteral("folder") << 104 << QList<int>{104} << true << false << false;
    // No overlay: the main window comes back at once, and the focus step has nothing to focus and fails in turn.
    QTest::newRow("108") << QStringLiteral("folder") << 108 << QList<int>{108, 110} << false << false << false;
    QTest::newRow("110") << QStringLiteral("folder") << 110 << QList<int>{110} << true << true << false;
    QTest::newRow("112") << QStringLiteral("folder") << 112 << QList<int>{112} << true << true << false;
    QTest::newRow("114") << QStringLiteral("folder") << 114 << QList<int>{114} << true << true << false;
    QTest::newRow("116") << QStringLiteral("missing") << 116 << QList<int>{116} << false << false << false;
}

void TestCaptureLaunch::injectedFailureIsReportedAndTheLaunchGoesOn()
{
    QFETCH(QString, which);
    QFETCH(int, line);
    QFETCH(QList<int>, reported);
    QFETCH(bool, overlay);
    QFETCH(bool, hidden);
    QFETCH(bool, missingFolderBox);
    Paths paths;
    FakeCaptureServices fake;
    FakeMainWindow main;
    main.folder = paths.path(which);
    main.hide = line == 102 ? 0 : 1;
    fake.probe.failing.insert({ClickAt, line});
    PushButton1_Click(fake.services, main);

    QList<int> lines;
    bool sawMissingFolderBox = false;
    for (const FakeDialogs::Box& box : fake.dialogs.boxes) {
        sawMissingFolderBox |= box.text == MissingFolder;
        if (box.title == QStringLiteral("Application Error")) {
            QVERIFY(box.text.contains(QStringLiteral("\r\n") + ClickAt + QStringLiteral("at line ")));
            lines.append(box.text.section(QStringLiteral("at line "), 1).section(QLatin1Char('\r'), 0, 0).toInt());
        }
    }
    QCOMPARE(lines, reported);
    QCOMPARE(overlays().size(), overlay ? 1 : 0);
    QCOMPARE(!main.visible, hidden);
    QCOMPARE(sawMissingFolderBox, missingFolderBox);
}

QTEST_MAIN(TestCaptureLaunch)
#include "tst_CaptureLaunch.moc"
