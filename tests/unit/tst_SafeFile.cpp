#include "platform/errors/Failure.h"
#include "platform/files/SafeFile.h"
#include "support/TestFiles.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <sys/stat.h>

namespace {

QStringList entries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

class TestSafeFile : public QObject {
    Q_OBJECT
private slots:
    void takenNamesGetANumber_data();
    void takenNamesGetANumber();
    void nothingUnderTheNameUntilCommitted();
    void abandonedFileLeavesNothing();
    void failedWriteCannotBeCommitted();
    void modeFollowsUmask_data();
    void modeFollowsUmask();
    void onlyOurOldTemporaryFilesAreRemoved();
};

void TestSafeFile::takenNamesGetANumber_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("extension") << QStringLiteral("Screen Capture 12_06_26_16_49_54.jpg")
                               << QStringList{QStringLiteral("Screen Capture 12_06_26_16_49_54.jpg"),
                                              QStringLiteral("Screen Capture 12_06_26_16_49_54 (2).jpg"),
                                              QStringLiteral("Screen Capture 12_06_26_16_49_54 (3).jpg")};
    QTest::newRow("no extension") << QStringLiteral("notes")
                                  << QStringList{QStringLiteral("notes"), QStringLiteral("notes (2)"),
                                                 QStringLiteral("notes (3)")};
    QTest::newRow("hidden file") << QStringLiteral(".shot")
                                 << QStringList{QStringLiteral(".shot"), QStringLiteral(".shot (2)"),
                                                QStringLiteral(".shot (3)")};
    QTest::newRow("only the last dot") << QStringLiteral("a.b.bmp")
                                       << QStringList{QStringLiteral("a.b.bmp"), QStringLiteral("a.b (2).bmp"),
                                                      QStringLiteral("a.b (3).bmp")};
    QTest::newRow("dotted folder") << QStringLiteral("dir.d/shot")
                                   << QStringList{QStringLiteral("dir.d/shot"), QStringLiteral("dir.d/shot (2)"),
                                                  QStringLiteral("dir.d/shot (3)")};
}

void TestSafeFile::takenNamesGetANumber()
{
    QFETCH(QString, name);
    QFETCH(QStringList, expected);
    QTemporaryDir folder;
    QVERIFY(QDir(folder.path()).mkdir(QStringLiteral("dir.d")));
    const QString path = folder.filePath(name);
    for (int i = 0; i < expected.size(); ++i) {
        const QByteArray bytes = QByteArray::number(i);
        QCOMPARE(SafeFile::writeNew(path, bytes.constData(), static_cast<std::size_t>(bytes.size())),
                 folder.filePath(expected[i]));
    }
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(readFileBytes(folder.filePath(expected[i])), QByteArray::number(i));
}

void TestSafeFile::nothingUnderTheNameUntilCommitted()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("shot.bmp"));
    SafeFile file(path);
    file.write("half", 4);
    const QStringList during = entries(folder.path());
    QCOMPARE(during.size(), 1);
    QVERIFY2(during[0].startsWith(QStringLiteral(".shot.bmp.")), qPrintable(during[0]));
    QVERIFY(!QFile::exists(path));
    file.write(" and the rest", 13);
    QCOMPARE(file.commit(), path);
    QCOMPARE(entries(folder.path()), QStringList(QStringLiteral("shot.bmp")));
    QCOMPARE(readFileBytes(path), QByteArray("half and the rest"));
}

void TestSafeFile::abandonedFileLeavesNothing()
{
    QTemporaryDir folder;
    {
        SafeFile file(folder.filePath(QStringLiteral("shot.jpg")));
        file.write("abc", 3);
    }
    QCOMPARE(entries(folder.path()), QStringList());
}

void TestSafeFile::failedWriteCannotBeCommitted()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("shot.jpg"));
    SafeFile file(path);
    {
        const SafeFile::FailAfter limit(2, EIO);
        QVERIFY_THROWS_EXCEPTION(Failure, file.write("abcdef", 6));
    }
    try {
        file.commit();
        QFAIL("a failed file was committed");
    } catch (const Failure& failure) {
        QCOMPARE(failure.description(), QStringLiteral("Cannot write %1: %2").arg(path, qt_error_string(EBADF)));
    }
    QCOMPARE(entries(folder.path()), QStringList());
}

void TestSafeFile::modeFollowsUmask_data()
{
    QTest::addColumn<int>("mask");
    QTest::addColumn<int>("mode");
    QTest::newRow("022") << 022 << 0644;
    QTest::newRow("077") << 077 << 0600;
    QTest::newRow("002") << 002 << 0644;
}

void TestSafeFile::modeFollowsUmask()
{
    QFETCH(int, mask);
    QFETCH(int, mode);
    QTemporaryDir folder;
    const mode_t previous = ::umask(static_cast<mode_t>(mask));
    const QString path = SafeFile::writeNew(folder.filePath(QStringLiteral("x")), "x", 1);
    ::umask(previous);
    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
    QCOMPARE(static_cast<int>(info.st_mode & 07777), mode);
}

void TestSafeFile::onlyOurOldTemporaryFilesAreRemoved()
{
    QTemporaryDir folder;
    const QString ours = QStringLiteral(".Screen Capture 12_06_26_16_49_54.bmp.a1b2c3");
    const QString young = QStringLiteral(".Screen Capture 12_06_26_16_49_54.jpg.zz0000");
    const QStringList lookalikes = {
        QStringLiteral("Screen Capture 12_06_26_16_49_54.bmp.a1b2c3"),  // not hidden
        QStringLiteral(".Screen Capture 12_06_26_16_49_54.bmp.A1B2C3"), // not our tail
        QStringLiteral(".Screen Capture 12_06_26_16_49_54.bmp.a1b2c"),
        QStringLiteral(".Screen Capture 12_06_26_16_49_54.bmp"),
        QStringLiteral(".Screen Capture 12_06_26_16_49_54.png.a1b2c3"), // not our target
        QStringLiteral(".Holiday.jpg.a1b2c3"),
        QStringLiteral(".x.Screen Capture 12_06_26_16_49_54.bmp.a1b2c3"),
    };
    const QDateTime old = QDateTime::currentDateTime().addSecs(-120);
    for (const QString& name : QStringList{ours, young} + lookalikes) {
        writeFileBytes(folder.filePath(name), "partial");
        QFile file(folder.filePath(name));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(
            file.setFileTime(name == young ? QDateTime::currentDateTime() : old, QFileDevice::FileModificationTime));
    }
    // Neither a folder nor a link under our name is a file we made.
    const QString folderName = QStringLiteral(".Screen Capture 01_01_26_00_00_00.bmp.000000");
    QVERIFY(QDir(folder.path()).mkdir(folderName));
    const QString linkName = QStringLiteral(".Screen Capture 01_01_26_00_00_01.bmp.000000");
    QVERIFY(QFile::link(folder.filePath(ours), folder.filePath(linkName)));

    const QRegularExpression target(QStringLiteral("Screen Capture \\d\\d(_\\d\\d){5}\\.(jpg|bmp)"));
    QCOMPARE(SafeFile::removeStaleTemporaryFiles(folder.path(), target, 60), 1);
    QStringList expected = QStringList{young, folderName, linkName} + lookalikes;
    expected.sort();
    QStringList left = entries(folder.path());
    left.sort();
    QCOMPARE(left, expected);
}

QTEST_MAIN(TestSafeFile)
#include "tst_SafeFile.moc"
