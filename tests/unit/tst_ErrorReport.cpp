#include "fakes/FakeDialogs.h"
#include "fakes/FakeServices.h"
#include "platform/dialogs/MessageBox.h"
#include "platform/errors/ErrorReport.h"
#include "platform/errors/Trap.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QTest>
#include <QTimer>

#include <functional>

#include <tuple>

// Key events as (type, time in ms, flagged as a repeat).
using KeyEvents = QList<std::tuple<QEvent::Type, int, bool>>;

class TestErrorReport : public QObject {
    Q_OBJECT
private slots:
    void reportText_data();
    void reportText();
    void reportBoxIsAWarningTitledApplicationError();
    void trapReportsEachFailingStepAndGoesOn();
    void failingTestRunsTheBlockItGuards();
    void testAnswersItsCheckWhenItSucceeds();
    void probeFailsAnyChosenStep();
    void otherExceptionsAreReportedToo();
    void nestedHandlerReportsUnderItsOwnLocation();
    void ctrlCCopiesTheBoxInTheUsualLayout();
    void keyHeldFromBeforeTheBoxDoesNotCloseIt_data();
    void keyHeldFromBeforeTheBoxDoesNotCloseIt();
    void everyAnswerLeavesThroughTheClose_data();
    void everyAnswerLeavesThroughTheClose();
};

void TestErrorReport::reportText_data()
{
    QTest::addColumn<QString>("description");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("expected");
    const QString tail = QStringLiteral("\r\rPlease email screenshot of this message to ") + supportAddress();
    QTest::newRow("jpeg save") << QStringLiteral("Cannot save the image. GDI+ Error:7") << 136
                               << QStringLiteral("Cannot save the image. GDI+ Error:7\r\nin Quellbrook2021/08/31.Form2."
                                                 "Form_MouseUp at line 136") +
                                      tail;
    QTest::newRow("empty description") << QString() << 100
                                       << QStringLiteral("\r\nin Quellbrook2021/08/31.Form2.Form_MouseUp at line 100") +
                                              tail;
}

void TestErrorReport::reportText()
{
    QFETCH(QString, description);
    QFETCH(int, line);
    QFETCH(QString, expected);
    QCOMPARE(errorReportText(QString::fromLatin1(Location::Form2_Form_MouseUp), line, description), expected);
}

void TestErrorReport::reportBoxIsAWarningTitledApplicationError()
{
    FakeDialogs dialogs;
    ShowErrorReport(dialogs, nullptr, QString::fromLatin1(Location::Form1_Form_Load), 104, QStringLiteral("x"));
    QCOMPARE(dialogs.boxes.size(), 1);
    QCOMPARE(dialogs.boxes[0].title, QStringLiteral("Application Error"));
    QCOMPARE(dialogs.boxes[0].icon, Dialogs::Icon::Warning);
}

void TestErrorReport::trapReportsEachFailingStepAndGoesOn()
{
    FakeDialogs dialogs;
    QStringList ran;
    Trap trap(dialogs, nullptr, nullptr, QString::fromLatin1(Location::Form1_Form_Load));
    QVERIFY(!trap.step(104, [&] { throw Failure(QStringLiteral("caption")); }));
    QVERIFY(trap.step(104, [&] { ran << QStringLiteral("icon"); }));
    QVERIFY(!trap.step(128, [&] { throw Failure(QStringLiteral("deep")); }));
    QVERIFY(trap.step(130, [&] { ran << QStringLiteral("option"); }));
    QCOMPARE(ran, QStringList({QStringLiteral("icon"), QStringLiteral("option")}));
    QCOMPARE(dialogs.boxes.size(), 2);
    QVERIFY(dialogs.boxes[0].text.startsWith(
        QStringLiteral("caption\r\nin Quellbrook2021/08/31.Form1.Form_Load at line 104\r\r")));
    QVERIFY(dialogs.boxes[1].text.contains(QStringLiteral("at line 128\r\r")));
    QCOMPARE(trap.failures(), 2);
}

void TestErrorReport::failingTestRunsTheBlockItGuards()
{
    FakeDialogs dialogs;
    Trap trap(dialogs, nullptr, nullptr, QStringLiteral("in X "));
    QVERIFY(trap.test(100, [&]() -> bool { throw Failure(QStringLiteral("no answer")); }));
    QCOMPARE(dialogs.boxes.size(), 1);
}

void TestErrorReport::testAnswersItsCheckWhenItSucceeds()
{
    FakeDialogs dialogs;
    Trap trap(dialogs, nullptr, nullptr, QStringLiteral("in X "));
    QVERIFY(!trap.test(100, [] { return false; }));
    QVERIFY(trap.test(102, [] { return true; }));
    QVERIFY(dialogs.boxes.isEmpty());
}

void TestErrorReport::probeFailsAnyChosenStep()
{
    FakeDialogs dialogs;
    FakeProbe probe;
    const QString location = QString::fromLatin1(Location::Form2_Form_Load);
    probe.failing.insert({location, 108});
    Trap trap(dialogs, &probe, nullptr, location);
    bool ran = false;
    QVERIFY(!trap.step(108, [&] { ran = true; }));
    QVERIFY(!ran);
    QVERIFY(dialogs.boxes[0].text.startsWith(QStringLiteral("Injected failure\r\n") + location +
                                             QStringLiteral("at line 108")));
}

void TestErrorReport::otherExceptionsAreReportedToo()
{
    FakeDialogs dialogs;
    Trap trap(dialogs, nullptr, nullptr, QStringLiteral("in X "));
    trap.step(100, [] { throw std::bad_alloc(); });
    trap.step(102, [] { throw std::runtime_error("boom"); });
    QCOMPARE(dialogs.boxes.size(), 2);
    QVERIFY(dialogs.boxes[0].text.startsWith(QStringLiteral("Out of memory\r\n")));
    QVERIFY(dialogs.boxes[1].text.startsWith(QStringLiteral("boom\r\n")));
}

void TestErrorReport::nestedHandlerReportsUnderItsOwnLocation()
{
    FakeDialogs dialogs;
    Trap outer(dialogs, nullptr, nullptr, QString::fromLatin1(Location::Form1_PushButton1_Click));
    const bool outerOk = outer.step(108, [&] {
        Trap inner(dialogs, nullptr, nullptr, QString::fromLatin1(Location::Form2_Form_Load));
        inner.step(116, [] { throw Failure(QStringLiteral("Cannot read the screen")); });
    });
    QVERIFY(outerOk);
    QCOMPARE(dialogs.boxes.size(), 1);
    QVERIFY(dialogs.boxes[0].text.contains(QStringLiteral("Form2.Form_Load at line 116")));
}

void TestErrorReport::ctrlCCopiesTheBoxInTheUsualLayout()
{
    const QString text =
        errorReportText(QString::fromLatin1(Location::Form2_Form_MouseUp), 136, QStringLiteral("Oops"));
    MessageBox box(nullptr, QStringLiteral("Application Error"), text, QMessageBox::Warning);
    box.show();
    QTest::keyClick(&box, Qt::Key_C, Qt::ControlModifier);
    const QString dashes = QStringLiteral("---------------------------\n");
    QCOMPARE(QGuiApplication::clipboard()->text(), dashes + QStringLiteral("Application Error\n") + dashes + text +
                                                       QStringLiteral("\n") + dashes + QStringLiteral("OK   \n") +
                                                       dashes);
}

void TestErrorReport::keyHeldFromBeforeTheBoxDoesNotCloseIt_data()
{
    // The Return key events that reach the box's OK button.
    QTest::addColumn<KeyEvents>("keys");
    QTest::addColumn<bool>("closes");
    QTest::newRow("a repeat: release and press at one time")
        << KeyEvents{{QEvent::KeyRelease, 100, false}, {QEvent::KeyPress, 100, false}} << false;
    QTest::newRow("a press the toolkit marks as a repeat") << KeyEvents{{QEvent::KeyPress, 100, true}} << false;
    QTest::newRow("released, then pressed anew")
        << KeyEvents{{QEvent::KeyRelease, 100, false}, {QEvent::KeyPress, 180, false}} << true;
}

void TestErrorReport::keyHeldFromBeforeTheBoxDoesNotCloseIt()
{
    QFETCH(KeyEvents, keys);
    QFETCH(bool, closes);
    MessageBox box(nullptr, QStringLiteral("Title"), QStringLiteral("Done."), QMessageBox::NoIcon);
    box.show();
    for (const auto& [type, time, isRepeat] : keys) {
        QKeyEvent key(type, Qt::Key_Return, Qt::NoModifier, QString(), isRepeat);
        key.setTimestamp(time);
        QApplication::sendEvent(box.button(QMessageBox::Ok), &key);
    }
    QCOMPARE(box.isVisible(), !closes);
}

void TestErrorReport::everyAnswerLeavesThroughTheClose_data()
{
    QTest::addColumn<std::function<void(MessageBox&)>>("answer");
    QTest::newRow("OK clicked") << std::function<void(MessageBox&)>(
        [](MessageBox& box) { QTest::mouseClick(box.button(QMessageBox::Ok), Qt::LeftButton); });
    QTest::newRow("Return") << std::function<void(MessageBox&)>(
        [](MessageBox& box) { QTest::keyClick(box.button(QMessageBox::Ok), Qt::Key_Return); });
    QTest::newRow("Escape") << std::function<void(MessageBox&)>(
        [](MessageBox& box) { QTest::keyClick(&box, Qt::Key_Escape); });
    QTest::newRow("the window closed") << std::function<void(MessageBox&)>([](MessageBox& box) { box.close(); });
}

// The close takes the box off the screen while it still shows, once, and the box's answer is still its own.
void TestErrorReport::everyAnswerLeavesThroughTheClose()
{
    QFETCH(std::function<void(MessageBox&)>, answer);
    MessageBox box(nullptr, QStringLiteral("Title"), QStringLiteral("Done."), QMessageBox::NoIcon);
    QList<bool> shownAtClose;
    box.setCloseWindow([&](QWidget& window) {
        shownAtClose << window.isVisible();
        window.hide();
    });
    QTimer::singleShot(0, &box, [&] { answer(box); });
    box.exec();
    QCOMPARE(shownAtClose, QList<bool>{true});
    QVERIFY(!box.isVisible());
}

QTEST_MAIN(TestErrorReport)
#include "tst_ErrorReport.moc"
