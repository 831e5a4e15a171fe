#include "imaging/BmpWriter.h"
#include "imaging/Picture.h"
#include "platform/process/TerminationSignals.h"

#include <QCoreApplication>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

class TestTerminationSignals : public QObject {
    Q_OBJECT
private slots:
    void saveUnderWayIsFinishedThenTheLoopEnds_data();
    void saveUnderWayIsFinishedThenTheLoopEnds();
};

void TestTerminationSignals::saveUnderWayIsFinishedThenTheLoopEnds_data()
{
    QTest::addColumn<int>("number");
    QTest::newRow("SIGTERM (logout)") << SIGTERM;
    QTest::newRow("SIGHUP (terminal closed)") << SIGHUP;
    QTest::newRow("SIGINT (Ctrl+C)") << SIGINT;
}

// The signal comes while the GUI thread is busy saving and away from the event loop, as when a session ends during a
// capture: the save goes on to its end, and only the event loop then ends, with the signal's status.
void TestTerminationSignals::saveUnderWayIsFinishedThenTheLoopEnds()
{
    QFETCH(int, number);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("Screen Capture 12_07_26_10_00_00.bmp"));
    const Picture picture(PixelBuffer::allocate(1600, 900, PixelFormat::Bgrx32), {});
    TerminationSignals termination;

    std::raise(number);
    SavePicture(picture, path);
    QCOMPARE(QImage(path).size(), QSize(1600, 900));

    // A signal that is never acted on fails here in seconds rather than at the test runner's timeout.
    QTimer giveUp;
    giveUp.setSingleShot(true);
    connect(&giveUp, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    giveUp.start(5000);
    QCOMPARE(QCoreApplication::exec(), 128 + number);
    QCOMPARE(termination.received(), number);
}

QTEST_GUILESS_MAIN(TestTerminationSignals)
#include "tst_TerminationSignals.moc"
