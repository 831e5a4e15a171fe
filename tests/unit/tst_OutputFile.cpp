#include "capture/OutputFile.h"

#include <QDateTime>
#include <QTest>

class TestOutputFile : public QObject {
    Q_OBJECT
private slots:
    void fileName_data();
    void fileName();
    void path_data();
    void path();
};

void TestOutputFile::fileName_data()
{
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<QString>("extension");
    QTest::addColumn<QString>("expected");
    QTest::newRow("afternoon jpeg") << QDateTime(QDate(2026, 12, 6), QTime(16, 49, 54)) << QStringLiteral(".jpg")
                                    << QStringLiteral("Screen Capture 12_06_26_16_49_54.jpg");
    QTest::newRow("single digits padded") << QDateTime(QDate(2009, 1, 2), QTime(3, 4, 5)) << QStringLiteral(".bmp")
                                          << QStringLiteral("Screen Capture 01_02_09_03_04_05.bmp");
    QTest::newRow("midnight, year 2000") << QDateTime(QDate(2000, 2, 29), QTime(0, 0, 0)) << QStringLiteral(".jpg")
                                         << QStringLiteral("Screen Capture 02_29_00_00_00_00.jpg");
    QTest::newRow("last second of a year")
        << QDateTime(QDate(2099, 12, 31), QTime(23, 59, 59, 999)) << QStringLiteral(".bmp")
        << QStringLiteral("Screen Capture 12_31_99_23_59_59.bmp");
    QTest::newRow("noon is 12, not 00") << QDateTime(QDate(2031, 7, 14), QTime(12, 0, 30)) << QStringLiteral(".jpg")
                                        << QStringLiteral("Screen Capture 07_14_31_12_00_30.jpg");
}

void TestOutputFile::fileName()
{
    QFETCH(QDateTime, time);
    QFETCH(QString, extension);
    QFETCH(QString, expected);
    QCOMPARE(captureFileName(time, extension), expected);
}

void TestOutputFile::path_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("expected");
    const QString name = QStringLiteral("Screen Capture 12_06_26_16_49_54.jpg");
    QTest::newRow("chooser folder, trailing slash")
        << QStringLiteral("/home/ann/Shots/") << QStringLiteral("/home/ann/Shots/") + name;
    QTest::newRow("typed by hand, no slash")
        << QStringLiteral("/home/ann/Shots") << QStringLiteral("/home/ann/Shots/") + name;
    QTest::newRow("root") << QStringLiteral("/") << QStringLiteral("/") + name;
    QTest::newRow("blanks in the folder")
        << QStringLiteral("/media/My Pictures") << QStringLiteral("/media/My Pictures/") + name;
    QTest::newRow("relative folder") << QStringLiteral("shots") << QStringLiteral("shots/") + name;
}

void TestOutputFile::path()
{
    QFETCH(QString, folder);
    QFETCH(QString, expected);
    QCOMPARE(capturePath(folder, QStringLiteral("Screen Capture 12_06_26_16_49_54.jpg")), expected);
}

QTEST_MAIN(TestOutputFile)
#include "tst_OutputFile.moc"
