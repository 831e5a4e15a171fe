#include "app/StaleCaptures.h"
#include "platform/errors/Failure.h"
#include "platform/files/SafeFile.h"
#include "support/TestFiles.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>

#include <cerrno>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QStringList entries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// A folder listing that a test holds, as a mount that stopped answering holds it.
struct Listing {
    std::mutex mutex;
    std::condition_variable changed;
    bool hold = false;
    bool held = false;     // a listing waited for the hold to end
    bool timedOut = false; // ... and nobody ended it
};
Listing g_listing;

} // namespace

// Stands in for the C library's readdir() in this program: while a test holds the listing, it waits until the test
// lets it go, or ten seconds, so that a caller that waits for it makes the test fail soon.
extern "C" struct dirent* readdir(DIR* dir)
{
    {
        std::unique_lock lock(g_listing.mutex);
        if (g_listing.hold) {
            g_listing.held = true;
            g_listing.changed.notify_all();
            if (!g_listing.changed.wait_for(lock, std::chrono::seconds(10), [] { return !g_listing.hold; })) {
                g_listing.timedOut = true;
                g_listing.hold = false;
            }
        }
    }
    static const auto real = reinterpret_cast<struct dirent* (*)(DIR*)>(::dlsym(RTLD_NEXT, "readdir"));
    return real(dir);
}

class TestSafeFile : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void takenNamesGetANumber_data();
    void takenNamesGetANumber();
    void nothingUnderTheNameUntilCommitted();
    void abandonedFileLeavesNothing();
    void failedWriteCannotBeCommitted();
    void modeFollowsUmask_data();
    void modeFollowsUmask();
    void sweepTakesOnlyAbandonedSavesOfOurs();
    void sweepNeverHoldsUpTheCaller();

private:
    QTemporaryDir m_config; // the settings folder, which the sweep tidies too
};

void TestSafeFile::initTestCase()
{
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
}

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

// One folder as a crash, a slow save in another copy and the user's own files leave it, swept as the program sweeps
// it at start.
void TestSafeFile::sweepTakesOnlyAbandonedSavesOfOurs()
{
    QTemporaryDir folder;
    const QString capture = folder.filePath(QStringLiteral("Screen Capture 12_06_26_16_49_54.bmp"));
    // A save that a crash cut short: its process ended in the middle of writing.
    const pid_t crash = ::fork();
    if (crash == 0) {
        SafeFile file(capture);
        file.write("partial", 7);
        ::_exit(0);
    }
    QVERIFY(crash > 0 && ::waitpid(crash, nullptr, 0) == crash);
    const QStringList leftByTheCrash = entries(folder.path());
    QCOMPARE(leftByTheCrash.size(), 1);
    const QString crashed = leftByTheCrash[0];
    const auto ourNameFor = [&](const QString& target) {
        return QString(crashed).replace(QFileInfo(capture).fileName(), target);
    };
    // A save under way in this process stands for a slow one in another copy: it holds its lock.
    SafeFile slow(folder.filePath(QStringLiteral("Screen Capture 12_06_26_16_50_00.jpg")));
    slow.write("first half", 10);
    // What users keep beside their captures, however much it looks like a temporary file; files named as ours, but
    // for something other than a capture.
    for (const QString& name : {QStringLiteral(".Screen Capture 12_06_26_16_49_54.jpg.backup"),
                                QStringLiteral(".Screen Capture 12_06_26_16_49_54.jpg.edited"),
                                QStringLiteral(".Screen Capture 12_06_26_16_49_54.bmp.a1b2c3"),
                                QStringLiteral("Screen Capture 12_06_26_16_49_54.bmp"), ourNameFor("Holiday.jpg"),
                                ourNameFor("Screen Capture 12_06_26_16_49_54.png"),
                                ourNameFor("Copy of Screen Capture 12_06_26_16_49_54.jpg"),
                                ourNameFor("XScreen Capture 12_06_26_16_49_54.bmp").mid(1)}) {
        writeFileBytes(folder.filePath(name), "mine");
    }
    // Named as ours for a capture, but a folder, a link, or someone else's file.
    QVERIFY(QDir(folder.path()).mkdir(ourNameFor("Screen Capture 12_06_26_16_49_55.bmp")));
    QVERIFY(QFile::link(folder.filePath(crashed), folder.filePath(ourNameFor("Screen Capture 12_06_26_16_49_56.bmp"))));
    if (::geteuid() == 0) {
        const QString theirs = folder.filePath(ourNameFor("Screen Capture 12_06_26_16_49_57.bmp"));
        writeFileBytes(theirs, "theirs");
        QCOMPARE(::chown(QFile::encodeName(theirs).constData(), 65534, 65534), 0);
    }
    const qint64 old = QDateTime::currentSecsSinceEpoch() - 3600;
    for (const QString& name : entries(folder.path())) {
        const struct timespec times[2] = {{old, 0}, {old, 0}};
        QCOMPARE(
            ::utimensat(AT_FDCWD, QFile::encodeName(folder.filePath(name)).constData(), times, AT_SYMLINK_NOFOLLOW), 0);
    }
    // Settings writes that a kill cut short leave their copy, its lock and QSettings' own temporary file beside the
    // settings file; a user's file named much like them is kept.
    const QString settingsCopy = m_config.filePath(QStringLiteral(".Korvane.conf.new-4242-1"));
    const QString usersFile = m_config.filePath(QStringLiteral(".Korvane.conf.new-notes"));
    for (const QString& name :
         {settingsCopy, settingsCopy + QStringLiteral(".lock"), settingsCopy + QStringLiteral(".Ab12cD"), usersFile}) {
        writeFileBytes(name, "x");
        const struct timespec times[2] = {{old, 0}, {old, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(name).constData(), times, 0), 0);
    }
    // A younger file of ours may be a save that has not taken its lock yet: one half a minute old, and one just made.
    const QString halfAMinute = folder.filePath(ourNameFor("Screen Capture 12_06_26_16_49_58.bmp"));
    writeFileBytes(halfAMinute, "partial");
    const struct timespec times[2] = {{old + 3570, 0}, {old + 3570, 0}};
    QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(halfAMinute).constData(), times, 0), 0);
    const pid_t young = ::fork();
    if (young == 0) {
        SafeFile file(folder.filePath(QStringLiteral("Screen Capture 12_06_26_16_51_00.jpg")));
        ::_exit(0);
    }
    QVERIFY(young > 0 && ::waitpid(young, nullptr, 0) == young);
    QStringList kept = entries(folder.path());
    kept.removeAll(crashed);

    std::future<int> removed = removeStaleCaptures(folder.path() + QLatin1Char('/'));
    QCOMPARE(removed.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    QCOMPARE(removed.get(), 4);
    QCOMPARE(entries(folder.path()), kept);
    QCOMPARE(entries(m_config.path()), QStringList(QFileInfo(usersFile).fileName()));
    // The slow save still ends with its whole file.
    slow.write(" and the rest", 13);
    QCOMPARE(readFileBytes(slow.commit()), QByteArray("first half and the rest"));
}

// A folder that stops answering (a network mount gone away) or takes long to list never holds up the window.
void TestSafeFile::sweepNeverHoldsUpTheCaller()
{
    QTemporaryDir folder;
    {
        const std::lock_guard lock(g_listing.mutex);
        g_listing.hold = true;
        g_listing.held = g_listing.timedOut = false;
    }
    std::future<int> removed = removeStaleCaptures(folder.path());
    bool waited = false;
    bool timedOut = false;
    {
        std::unique_lock lock(g_listing.mutex);
        waited = g_listing.changed.wait_for(lock, std::chrono::seconds(20), [] { return g_listing.held; });
        timedOut = g_listing.timedOut;
        g_listing.hold = false;
    }
    g_listing.changed.notify_all();
    QVERIFY2(!timedOut, "the sweep waited for the folder before it returned");
    QVERIFY(waited);
    QCOMPARE(removed.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    QCOMPARE(removed.get(), 0);
}

QTEST_MAIN(TestSafeFile)
#include "tst_SafeFile.moc"
