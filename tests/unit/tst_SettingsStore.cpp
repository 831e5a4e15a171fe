#include "app/SettingsStore.h"
#include "fakes/FakeDialogs.h"
#include "fakes/FakeServices.h"
#include "platform/files/UserFolders.h"
#include "platform/settings/QSettingsBackend.h"
#include "platform/settings/WriteLock.h"
#include "support/PipeWatchdog.h"
#include "support/TestFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <utility>

#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What another program does while the next write of this one is under way: during the flush of its copy, or just
// before each time that a file takes the place of the settings file.
std::function<void()> g_duringWrite;
QList<std::function<void()>> g_beforeReplace;
bool g_isReplacing = false; // the other program's own replace is not one of them

void runBeforeReplace(const char* target)
{
    if (!g_isReplacing && !g_beforeReplace.isEmpty() && QByteArrayView(target).endsWith("/Korvane.conf")) {
        g_isReplacing = true;
        g_beforeReplace.takeFirst()();
        g_isReplacing = false;
    }
}

} // namespace

// Stand in for the C library's functions in this program, which a write calls on its copy.
extern "C" int fsync(int fd)
{
    if (const std::function<void()> step = std::exchange(g_duringWrite, nullptr)) {
        step();
    }
    static const auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    return real(fd);
}

extern "C" int rename(const char* from, const char* to) noexcept
{
    runBeforeReplace(to);
    static const auto real = reinterpret_cast<int (*)(const char*, const char*)>(::dlsym(RTLD_NEXT, "rename"));
    return real(from, to);
}

extern "C" int renameat2(int fromFolder, const char* from, int toFolder, const char* to, unsigned int flags) noexcept
{
    runBeforeReplace(to);
    static const auto real =
        reinterpret_cast<int (*)(int, const char*, int, const char*, unsigned int)>(::dlsym(RTLD_NEXT, "renameat2"));
    return real(fromFolder, from, toFolder, to, flags);
}

namespace {

const QString Application = QStringLiteral("Korvane");
const QString Section = QStringLiteral("Ostrafen Mirel Tasko Vendry Quosh");
constexpr int WritesPerCopy = 60;

// The second copy of the program in the two-writer test: writes its own keys, and one key of its own again and
// again with values of the same length.
int runWriter(const QString& name)
{
    QSettingsBackend backend;
    // The other copy writes without a pause, far faster than anyone clicks, and may keep the lock longer than a write
    // waits for it: such a write is refused and told, and made again here as a user would.
    const auto write = [&backend](const QString& key, const QString& value) {
        for (int attempt = 0;; ++attempt) {
            try {
                backend.write(Application, Section, key, value);
                return;
            } catch (const Failure& failure) {
                if (attempt == 100 || !failure.description().contains(QStringLiteral("is writing it"))) {
                    throw;
                }
            }
        }
    };
    for (int i = 0; i < WritesPerCopy; ++i) {
        write(name + QString::number(i), QString::number(i));
        write(name + QStringLiteral("Last"), QString::asprintf("%04d", i));
    }
    return 0;
}

} // namespace

class TestSettingsStore : public QObject {
    Q_OBJECT
private slots:
    void init();
    void toBoolean_data();
    void toBoolean();
    void toCheckState_data();
    void toCheckState();
    void absentKeyGivesTheDefaultButEmptyTextIsStored();
    void firstWritesGiveThisFile();
    void valuesComeBackExactly_data();
    void valuesComeBackExactly();
    void valueThatCannotComeBackIsRefused();
    void typedValuesAreRefusedUndecoded_data();
    void typedValuesAreRefusedUndecoded();
    void editOfTheSameSizeAndTimeIsSeen();
    void otherProgramsSavesAreKept_data();
    void otherProgramsSavesAreKept();
    void lockThatCannotBeHadRefusesTheWrite_data();
    void lockThatCannotBeHadRefusesTheWrite();
    void pipeInPlaceOfTheFileDoesNotBlock();
    void folderFollowsTheXdgRules_data();
    void folderFollowsTheXdgRules();
    void unreadableFilesFailAndAreLeftAsTheyAre_data();
    void unreadableFilesFailAndAreLeftAsTheyAre();
    void linkIsWrittenThroughOnlyToOurOwnSettings_data();
    void linkIsWrittenThroughOnlyToOurOwnSettings();
    void nothingOfTheSettingsGoesOutsideTheirFolder();
    void writeThatCannotReachTheDiskNamesFileAndReason();
    void readOnlyHomeIsNamedWithTheReason();
    void refusedWritesAreToldUntilOneIsStored();
    void copiesBesideALinksTargetAreSwept();
    void twoCopiesWritingAtOnceLoseNothing();

private:
    QTemporaryDir m_config;
    QString path() const { return m_config.filePath(QStringLiteral("Korvane.conf")); }
};

void TestSettingsStore::init()
{
    g_duringWrite = nullptr;
    g_beforeReplace.clear();
    QFile::remove(path());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
}

void TestSettingsStore::toBoolean_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<bool>("value");
    QTest::newRow("True") << "True" << true << true;
    QTest::newRow("False") << "False" << true << false;
    QTest::newRow("letter case") << "tRUE" << true << true;
    QTest::newRow("default 1") << "1" << true << true;
    QTest::newRow("default 0") << "0" << true << false;
    QTest::newRow("negative number") << "-1" << true << true;
    QTest::newRow("fraction") << "0.5" << true << true;
    QTest::newRow("blanks around") << " False " << true << false;
    QTest::newRow("empty") << "" << false << false;
    QTest::newRow("word") << "yes" << false << false;
    QTest::newRow("number with junk") << "1x" << false << false;
}

void TestSettingsStore::toBoolean()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(bool, value);
    try {
        QCOMPARE(::toBoolean(text, QStringLiteral("Option1")), value);
        QVERIFY(valid);
    } catch (const Failure& failure) {
        QVERIFY(!valid);
        QCOMPARE(failure.description(), QStringLiteral("The stored setting \"Option1\" is \"%1\", which is neither "
                                                       "True, False nor a number")
                                            .arg(text));
    }
}

void TestSettingsStore::toCheckState_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value"); // -1: fails
    QTest::newRow("0") << "0" << 0;
    QTest::newRow("1") << "1" << 1;
    QTest::newRow("2 grey") << "2" << 2;
    QTest::newRow("1.5 rounds to even 2") << "1.5" << 2;
    QTest::newRow("0.5 rounds to even 0") << "0.5" << 0;
    QTest::newRow("2.5 rounds to even 2") << "2.5" << 2;
    QTest::newRow("exponent") << "1e0" << 1;
    QTest::newRow("3") << "3" << -1;
    QTest::newRow("-1") << "-1" << -1;
    QTest::newRow("70000") << "70000" << -1;
    QTest::newRow("True is not numeric") << "True" << -1;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("hex is not decimal") << "0x1" << -1;
}

void TestSettingsStore::toCheckState()
{
    QFETCH(QString, text);
    QFETCH(int, value);
    try {
        QCOMPARE(int(::toCheckState(text, QStringLiteral("Check1"))), value);
    } catch (const Failure& failure) {
        QCOMPARE(value, -1);
        QVERIFY(failure.description().startsWith(QStringLiteral("The stored setting \"Check1\" is \"%1\"").arg(text)));
    }
}

void TestSettingsStore::absentKeyGivesTheDefaultButEmptyTextIsStored()
{
    QSettingsBackend backend;
    QCOMPARE(GetSetting(backend, Application, Section, QStringLiteral("Text1"), QStringLiteral("/d/")),
             QStringLiteral("/d/"));
    QVERIFY(!QFile::exists(path())); // reading creates nothing
    SaveSetting(backend, Application, Section, QStringLiteral("Text1"), QString());
    QCOMPARE(GetSetting(backend, Application, Section, QStringLiteral("Text1"), QStringLiteral("/d/")), QString());
    QCOMPARE(
        GetSetting(backend, Application, QStringLiteral("Other section"), QStringLiteral("Text1"), QStringLiteral("x")),
        QStringLiteral("x"));
}

void TestSettingsStore::firstWritesGiveThisFile()
{
    QSettingsBackend backend;
    QCOMPARE(QSettingsBackend::filePath(Application), path());
    FakeDialogs dialogs;
    SettingsStore store(backend, dialogs);
    store.save(QStringLiteral("Option1"), QStringLiteral("True"));
    store.save(QStringLiteral("Option2"), QStringLiteral("False"));
    store.save(QStringLiteral("Text1"), QStringLiteral("/home/ann/Desktop/"));
    store.save(QStringLiteral("Check1"), QStringLiteral("1"));
    // On disk at once, without waiting for QSettings to write lazily.
    QCOMPARE(readFileBytes(path()), QByteArray("[Ostrafen%20Mirel%20Tasko%20Vendry%20Quosh]\n"
                                               "Check1=1\n"
                                               "Option1=True\n"
                                               "Option2=False\n"
                                               "Text1=/home/ann/Desktop/\n"));
    QVERIFY(dialogs.boxes.isEmpty());
}

void TestSettingsStore::valuesComeBackExactly_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("comma and semicolon") << "/home/a,b; c=d/";
    QTest::newRow("blanks at both ends") << "  /x/  ";
    QTest::newRow("quotes and backslashes") << "/q\"uo\\te/";
    QTest::newRow("looks like a QSettings variant") << "@Variant(\\0\\0)";
    QTest::newRow("non-Latin") << QStringLiteral("/home/анна/Рабочий стол/");
    QTest::newRow("line break") << "/a\nb/";
    QTest::newRow("looks like a number") << "007";
    // A cp1252 name read as Latin-1 brings C1 controls along; QSettings writes them and DEL unescaped.
    QTest::newRow("NEL") << QStringLiteral("/home/ann/Caf\u00e9\u0085 shots/");
    QTest::newRow("DEL") << QStringLiteral("/x\u007f/");
    QTest::newRow("C1 controls") << QStringLiteral("\u0080\u0091\u009f");
    QTest::newRow("C0 controls") << QStringLiteral("\u0001\u0008\t\u000b\f\u001b\u001f");
    QTest::newRow("NUL") << QString(QChar(0)) + QStringLiteral("/x/");
}

void TestSettingsStore::valuesComeBackExactly()
{
    QFETCH(QString, value);
    QSettingsBackend backend;
    backend.write(Application, Section, QStringLiteral("Check1"), QStringLiteral("1"));
    backend.write(Application, Section, QStringLiteral("Text1"), value);
    QCOMPARE(backend.read(Application, Section, QStringLiteral("Text1")), value);
    QCOMPARE(backend.read(Application, Section, QStringLiteral("Check1")), QStringLiteral("1"));
    QCOMPARE(QSettingsBackend().read(Application, Section, QStringLiteral("Text1")), value);
}

void TestSettingsStore::valueThatCannotComeBackIsRefused()
{
    QSettingsBackend backend;
    backend.write(Application, Section, QStringLiteral("Text1"), QStringLiteral("/before/"));
    const QByteArray before = readFileBytes(path());
    try {
        // An unpaired surrogate has no UTF-8 form.
        backend.write(Application, Section, QStringLiteral("Text1"), QStringLiteral("/a") + QChar(0xdc00));
        QFAIL("write succeeded");
    } catch (const Failure& failure) {
        QCOMPARE(failure.description(), QStringLiteral("Cannot write %1: the text for \"Text1\" cannot be stored so "
                                                       "that it reads back the same, so it was not stored")
                                            .arg(path()));
    }
    QCOMPARE(readFileBytes(path()), before);
    QCOMPARE(backend.read(Application, Section, QStringLiteral("Text1")), QStringLiteral("/before/"));
}

void TestSettingsStore::typedValuesAreRefusedUndecoded_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("ownKey"); // whether the value is Check1's
    // A bit array of 2^31 bits, were Qt to decode it.
    QTest::newRow("variant") << QByteArray("Check1=@Variant(\\0\\0\\0\\r\\x7f\\xff\\xff\\xff)") << true;
    QTest::newRow("byte array, quoted") << QByteArray("Check1=\"@ByteArray(1)\"") << true;
    QTest::newRow("date time") << QByteArray("Check1=@DateTime(\\0)") << true;
    QTest::newRow("escaped at sign") << QByteArray("Check1=\\x40Variant(\\0)") << true;
    QTest::newRow("octal at sign") << QByteArray("Check1=\\100ByteArray(x)") << true;
    QTest::newRow("in a list") << QByteArray("Check1=1, @Variant(\\0)") << true;
    QTest::newRow("another key") << QByteArray("Other=@Variant(\\0)") << false;
}

void TestSettingsStore::typedValuesAreRefusedUndecoded()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, ownKey);
    const QByteArray bytes = "[Ostrafen%20Mirel%20Tasko%20Vendry%20Quosh]\nOption1=True\n" + line + "\nText1=/x/\n";
    writeFileBytes(path(), bytes);
    QSettingsBackend backend;
    QCOMPARE(backend.read(Application, Section, QStringLiteral("Option1")), QStringLiteral("True"));
    QCOMPARE(backend.read(Application, Section, QStringLiteral("Text1")), QStringLiteral("/x/"));
    if (ownKey) {
        try {
            backend.read(Application, Section, QStringLiteral("Check1"));
            QFAIL("read succeeded");
        } catch (const Failure& failure) {
            QCOMPARE(failure.description(), QStringLiteral("Cannot read the setting \"Check1\" in %1: its value is of "
                                                           "a kind that this program does not read")
                                                .arg(path()));
        }
    }
    try {
        backend.write(Application, Section, QStringLiteral("Text1"), QStringLiteral("/y/"));
        QFAIL("write succeeded");
    } catch (const Failure& failure) {
        QVERIFY2(failure.description().endsWith(QStringLiteral("holds a value of a kind that this program does not "
                                                               "read, so the file was left as it is")),
                 qPrintable(failure.description()));
    }
    QCOMPARE(readFileBytes(path()), bytes);
}

// Reads of an unchanged file share one parse; another program's edit that keeps the file's size and time is still
// seen by the next read, and by the readback of a write.
void TestSettingsStore::editOfTheSameSizeAndTimeIsSeen()
{
    const QByteArray header("[Ostrafen%20Mirel%20Tasko%20Vendry%20Quosh]\n");
    writeFileBytes(path(), header + "Check1=1\nText1=/aa/\n");
    QSettingsBackend backend;
    QCOMPARE(backend.read(Application, Section, QStringLiteral("Check1")), QStringLiteral("1"));
    QCOMPARE(backend.read(Application, Section, QStringLiteral("Text1")), QStringLiteral("/aa/"));
    const QDateTime time = QFileInfo(path()).lastModified();
    const struct {
        QByteArray lines;
        QString check;
        QString text;
    } edits[] = {{"Check1=0\nText1=/bb/\n", QStringLiteral("0"), QStringLiteral("/bb/")},
                 {"Check1=2\nText1=@@b/\n", QStringLiteral("2"), QStringLiteral("@b/")}};
    for (const auto& edit : edits) {
        writeFileBytes(path(), header + edit.lines);
        QFile file(path());
        QVERIFY(file.open(QIODevice::ReadWrite) && file.setFileTime(time, QFileDevice::FileModificationTime));
        file.close();
        QCOMPARE(backend.read(Application, Section, QStringLiteral("Text1")), edit.text);
        QCOMPARE(backend.read(Application, Section, QStringLiteral("Check1")), edit.check);
    }
    backend.write(Application, Section, QStringLiteral("Option1"), QStringLiteral("True"));
    QCOMPARE(backend.read(Application, Section, QStringLiteral("Text1")), QStringLiteral("@b/"));
    QCOMPARE(backend.read(Application, Section, QStringLiteral("Option1")), QStringLiteral("True"));
}

void TestSettingsStore::otherProgramsSavesAreKept_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArrayList>("saves"); // an editor's saves while the write is under way
    QTest::addColumn<bool>("beforeReplace");   // each comes just before a replace, else the first during the flush
    QTest::addColumn<QByteArray>("after");
    const QByteArray header("[Ostrafen%20Mirel%20Tasko%20Vendry%20Quosh]\n");
    QTest::newRow("UTF-8 mark from an editor, dropped")
        << "\xEF\xBB\xBF" + header + "Check1=1\nText1=/x/\n"
        << QByteArrayList() << false << header + "Check1=0\nText1=/x/\n";
    // A save of the same size, with the old file's time, differs from it only by its inode.
    for (const bool beforeReplace : {false, true}) {
        QTest::addRow("an editor's save, %s", beforeReplace ? "just before the replace" : "during the flush")
            << header + "Check1=1\nText1=/old/\n"
            << QByteArrayList{header + "Check1=1\nText1=/new/\n"} << beforeReplace
            << header + "Check1=0\nText1=/new/\n";
    }
    QTest::newRow("two saves, the second while the first is put back")
        << header + "Check1=1\nText1=/old/\n"
        << QByteArrayList{header + "Check1=1\nText1=/new/\n", header + "Check1=1\nText1=/2nd/\n"} << true
        << header + "Check1=0\nText1=/2nd/\n";
}

void TestSettingsStore::otherProgramsSavesAreKept()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArrayList, saves);
    QFETCH(bool, beforeReplace);
    QFETCH(QByteArray, after);
    writeFileBytes(path(), before);
    struct stat old {};
    QCOMPARE(::stat(QFile::encodeName(path()).constData(), &old), 0);
    // As editors save: a new file renamed into place.
    const auto save = [this, old](const QByteArray& saved) {
        const QByteArray edited = QFile::encodeName(path() + QStringLiteral("~"));
        writeFileBytes(QFile::decodeName(edited), saved);
        const struct timespec times[2] = {old.st_atim, old.st_mtim};
        QCOMPARE(::utimensat(AT_FDCWD, edited.constData(), times, 0), 0);
        QCOMPARE(::rename(edited.constData(), QFile::encodeName(path()).constData()), 0);
    };
    for (const QByteArray& saved : saves) {
        if (beforeReplace)
            g_beforeReplace.append([&save, saved] { save(saved); });
        else
            g_duringWrite = [&save, saved] { save(saved); };
    }
    QSettingsBackend().write(Application, Section, QStringLiteral("Check1"), QStringLiteral("0"));
    QVERIFY(!g_duringWrite && g_beforeReplace.isEmpty());
    QCOMPARE(readFileBytes(path()), after);
    QCOMPARE(QDir(m_config.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList(QStringLiteral("Korvane.conf")));
}

// Never a write without the lock that keeps two writers apart, and never a long wait for it.
void TestSettingsStore::lockThatCannotBeHadRefusesTheWrite_data()
{
    QTest::addColumn<QString>("inPlace");     // what stands where the lock goes
    QTest::addColumn<int>("releasedAfterMs"); // when the other copy lets go of it; -1: never
    QTest::addColumn<QString>("reason");      // empty: the change is stored
    const QString held = QStringLiteral("another copy of this program is writing it and has not finished, so the "
                                        "change was not stored");
    const QString notAFile = QStringLiteral("%1.order, where the lock that keeps two writers apart goes, is not a "
                                            "file, so the change was not stored")
                                 .arg(path());
    QTest::newRow("held by another copy for longer than the wait") << "lock" << -1 << held;
    QTest::newRow("held by another copy that finishes within the wait") << "lock" << 900 << QString();
    QTest::newRow("a folder in its place") << "folder" << -1 << notAFile;
    QTest::newRow("a named pipe in its place") << "pipe" << -1 << notAFile;
    QTest::newRow("a link in its place") << "link" << -1 << notAFile;
}

void TestSettingsStore::lockThatCannotBeHadRefusesTheWrite()
{
    QFETCH(QString, inPlace);
    QFETCH(int, releasedAfterMs);
    QFETCH(QString, reason);
    QSettingsBackend backend;
    backend.write(Application, Section, QStringLiteral("Check1"), QStringLiteral("1"));
    const QByteArray before = readFileBytes(path());
    const QString lockPath = path() + QStringLiteral(".order");
    const QByteArray native = QFile::encodeName(lockPath);
    // The kind of lock that older copies of the program take.
    QLockFile held(lockPath);
    QTemporaryDir elsewhere;
    if (inPlace == QLatin1String("lock"))
        QVERIFY(held.tryLock(0));
    else if (inPlace == QLatin1String("folder"))
        QVERIFY(QDir().mkdir(lockPath));
    else if (inPlace == QLatin1String("pipe"))
        QCOMPARE(::mkfifo(native.constData(), 0600), 0);
    else
        QVERIFY(QFile::link(elsewhere.filePath(QStringLiteral("x")), lockPath));
    const PipeWatchdog watchdog(lockPath);
    // The wait is counted, not slept, so that the row decides by what the other copy did when.
    const WriteLock::VirtualWait wait([&](std::chrono::milliseconds waited) {
        if (releasedAfterMs >= 0 && waited.count() >= releasedAfterMs)
            held.unlock();
    });
    try {
        backend.write(Application, Section, QStringLiteral("Check1"), QStringLiteral("0"));
        QVERIFY(reason.isEmpty());
    } catch (const Failure& failure) {
        QCOMPARE(failure.description(), QStringLiteral("Cannot write %1: %2").arg(path(), reason));
    }
    QVERIFY(!watchdog.hasFired());
    QCOMPARE(readFileBytes(path()), reason.isEmpty() ? QByteArray(before).replace("Check1=1", "Check1=0") : before);
    if (inPlace != QLatin1String("lock"))
        QVERIFY(QDir().rmdir(lockPath) || QFile::remove(lockPath));
}

void TestSettingsStore::pipeInPlaceOfTheFileDoesNotBlock()
{
    QVERIFY(::mkfifo(QFile::encodeName(path()).constData(), 0600) == 0);
    const PipeWatchdog watchdog(path());
    QSettingsBackend backend;
    QCOMPARE(backend.read(Application, Section, QStringLiteral("Check1")), std::nullopt);
    try {
        backend.write(Application, Section, QStringLiteral("Check1"), QStringLiteral("1"));
        QFAIL("write succeeded");
    } catch (const Failure& failure) {
        QCOMPARE(failure.description(),
                 QStringLiteral("Cannot write %1: it is not a regular file, so it was left as it is").arg(path()));
    }
    QVERIFY(!QFileInfo(path()).isFile() && QFileInfo::exists(path()));
    QVERIFY(!watchdog.hasFired());
}

void TestSettingsStore::folderFollowsTheXdgRules_data()
{
    QTest::addColumn<QByteArray>("home");   // "-": unset
    QTest::addColumn<QByteArray>("config"); // "-": unset
    QTest::addColumn<QString>("expected");
    const QString passwordHome = QFile::decodeName(::getpwuid(::geteuid())->pw_dir);
    QTest::newRow("config home") << QByteArray("/h") << QByteArray("/c/") << "/c/Korvane.conf";
    QTest::newRow("config home unset") << QByteArray("/h") << QByteArray("-") << "/h/.config/Korvane.conf";
    QTest::newRow("config home empty") << QByteArray("/h") << QByteArray("") << "/h/.config/Korvane.conf";
    QTest::newRow("relative config home ignored") << QByteArray("/h") << QByteArray("cfg") << "/h/.config/Korvane.conf";
    QTest::newRow("home unset") << QByteArray("-") << QByteArray("-") << passwordHome + "/.config/Korvane.conf";
    QTest::newRow("relative home") << QByteArray("h") << QByteArray("-") << passwordHome + "/.config/Korvane.conf";
}

void TestSettingsStore::folderFollowsTheXdgRules()
{
    QFETCH(QByteArray, home);
    QFETCH(QByteArray, config);
    QFETCH(QString, expected);
    const QByteArray savedHome = qgetenv("HOME");
    const auto set = [](const char* name, const QByteArray& value) {
        if (value == "-") {
            qunsetenv(name);
        } else {
            qputenv(name, value);
        }
    };
    set("HOME", home);
    set("XDG_CONFIG_HOME", config);
    const QString found = QSettingsBackend::filePath(Application);
    // The program sets the environment by the same rules, so that Qt's own folders (the desktop) follow them too.
    applyUserFolderRules();
    const QString qtHome = QDir::homePath();
    const QString afterRules = QSettingsBackend::filePath(Application);
    qputenv("HOME", savedHome);
    QCOMPARE(found, expected);
    QCOMPARE(afterRules, expected);
    QCOMPARE(qtHome,
             home.startsWith('/') ? QString::fromLatin1(home) : QFile::decodeName(::getpwuid(::geteuid())->pw_dir));
}

void TestSettingsStore::unreadableFilesFailAndAreLeftAsTheyAre_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("sparseSize");   // > 0: the file is that long and holds nothing
    QTest::addColumn<QString>("readFailure"); // empty: the key reads as absent
    QTest::addColumn<QString>("writeFailure");
    const QString name = QDir::toNativeSeparators(m_config.filePath(QStringLiteral("Korvane.conf")));
    const auto lineLost = [&name](int line) {
        return QStringLiteral("Cannot write %1: line %2 is not a setting, and rewriting the file would lose it, so "
                              "the file was left as it is")
            .arg(name)
            .arg(line);
    };
    const auto tooLarge = [&name](const char* verb, qint64 size) {
        return QStringLiteral("Cannot %1 %2: the file is %3 bytes long, too large to be a settings file")
            .arg(QLatin1String(verb), name)
            .arg(size);
    };
    const QByteArray header("[Ostrafen%20Mirel%20Tasko%20Vendry%20Quosh]\nOption1=True\n");
    QTest::newRow("binary") << QByteArray("\x00\x01\xff\xfe garbage [[[ \n=== \n\x00\x00", 20) << qint64(0) << QString()
                            << QStringLiteral("Cannot write %1: the file is not in the settings format, so it was "
                                              "left as it is")
                                   .arg(name);
    QTest::newRow("very large") << QByteArray(QSettingsBackend::MaxFileSize + 1, 'x') << qint64(0)
                                << tooLarge("read", QSettingsBackend::MaxFileSize + 1)
                                << tooLarge("write", QSettingsBackend::MaxFileSize + 1);
    // Read whole, it would take all the memory there is.
    QTest::newRow("sparse, far larger than memory")
        << QByteArray() << (qint64(1) << 40) << tooLarge("read", qint64(1) << 40) << tooLarge("write", qint64(1) << 40);
    // QSettings reads these files but drops such lines when it writes them again.
    QTest::newRow("comment") << header + "; my note\nText1=/x/\n" << qint64(0) << QString() << lineLost(3);
    QTest::newRow("line without =") << header + "Text1=/x/\nnot a setting\n" << qint64(0) << QString() << lineLost(4);
    QTest::newRow("comment after a value") << header + "Text1=/x/ ; the folder\n"
                                           << qint64(0) << QString() << lineLost(3);
    QTest::newRow("key given twice") << header + "Option1=False\n" << qint64(0) << QString() << lineLost(3);
    // An unpaired surrogate, which QSettings reads but writes back as nothing.
    QTest::newRow("another key that a rewrite would change")
        << header + "Other=\\xd800\n"
        << qint64(0) << QString()
        << QStringLiteral("Cannot write %1: its other settings would not read back the same after a rewrite, so the "
                          "file was left as it is")
               .arg(name);
}

void TestSettingsStore::unreadableFilesFailAndAreLeftAsTheyAre()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, sparseSize);
    QFETCH(QString, readFailure);
    QFETCH(QString, writeFailure);
    writeFileBytes(path(), bytes);
    if (sparseSize > 0)
        QCOMPARE(::truncate(QFile::encodeName(path()).constData(), sparseSize), 0);
    QSettingsBackend backend;
    try {
        QCOMPARE(backend.read(Application, Section, QStringLiteral("Check1")), std::nullopt);
        QVERIFY(readFailure.isEmpty());
    } catch (const UnreadableSettings& failure) {
        QCOMPARE(failure.description(), readFailure);
    }
    // The first change and every later one: nothing that was refused once is taken the next time.
    for (const char* value : {"1", "0"}) {
        try {
            backend.write(Application, Section, QStringLiteral("Check1"), QString::fromLatin1(value));
            QFAIL("write succeeded");
        } catch (const Failure& failure) {
            QCOMPARE(failure.description(), writeFailure);
        }
    }
    // The file may hold other programs' sections or the user's notes: it is never rewritten from what could not be
    // read back.
    if (sparseSize > 0)
        QCOMPARE(QFileInfo(path()).size(), sparseSize);
    else
        QCOMPARE(readFileBytes(path()), bytes);
}

void TestSettingsStore::linkIsWrittenThroughOnlyToOurOwnSettings_data()
{
    QTest::addColumn<QByteArray>("target"); // "-": the link leads nowhere
    QTest::addColumn<bool>("ours");
    QTest::newRow("our settings, kept with other configuration")
        << QByteArray("[Ostrafen%20Mirel%20Tasko%20Vendry%20Quosh]\nOption1=True\n[Other]\nx=1\n") << true;
    QTest::newRow("copy of the password database")
        << QByteArray("root:x:0:0:root:/root:/bin/bash\nann:x:1000:1000:Ann,,,:/home/ann:/bin/bash\n") << false;
    QTest::newRow("JSON") << QByteArray("{\n  \"Check1\": 1,\n  \"Text1\": \"/x/\"\n}\n") << false;
    QTest::newRow("shell script") << QByteArray("#!/bin/sh\nexec /usr/bin/true\n") << false;
    QTest::newRow("environment file, which would parse") << QByteArray("PATH=/usr/bin\nLANG=C\n") << false;
    QTest::newRow("dangling") << QByteArray("-") << false;
    QTest::newRow("empty file (a Python package's __init__.py)") << QByteArray("") << false;
    QTest::newRow("blank lines") << QByteArray("\n  \n\t\n") << false;
}

void TestSettingsStore::linkIsWrittenThroughOnlyToOurOwnSettings()
{
    QFETCH(QByteArray, target);
    QFETCH(bool, ours);
    QTemporaryDir elsewhere;
    const QString file = elsewhere.filePath(QStringLiteral("kept/Korvane.conf"));
    if (target != "-")
        writeFileBytes(file, target);
    QVERIFY(QFile::link(file, path()));
    QSettingsBackend backend;
    for (const char* value : {"/a/", "/b/"}) {
        try {
            backend.write(Application, Section, QStringLiteral("Text1"), QString::fromLatin1(value));
            QVERIFY(ours);
        } catch (const Failure& failure) {
            QVERIFY2(!ours, qPrintable(failure.description()));
            QVERIFY2(failure.description().startsWith(QStringLiteral("Cannot write %1: it is a link to").arg(path())),
                     qPrintable(failure.description()));
        }
    }
    QCOMPARE(QFileInfo(path()).symLinkTarget(), file);
    if (!ours) {
        QCOMPARE(QFileInfo::exists(file), target != "-");
        QCOMPARE(readFileBytes(file), target == "-" ? QByteArray() : target);
        return;
    }
    QCOMPARE(QSettingsBackend().read(Application, Section, QStringLiteral("Text1")), QStringLiteral("/b/"));
    QCOMPARE(QSettingsBackend().read(Application, Section, QStringLiteral("Option1")), QStringLiteral("True"));
    QCOMPARE(QSettingsBackend().read(Application, QStringLiteral("Other"), QStringLiteral("x")), QStringLiteral("1"));
}

// The settings are parsed from the bytes read and rewritten beside the file: an unusable temporary folder changes
// nothing, and no copy of them is left anywhere.
void TestSettingsStore::nothingOfTheSettingsGoesOutsideTheirFolder()
{
    QTemporaryDir temporary;
    const QByteArray savedTemporary = qgetenv("TMPDIR");
    for (const QString& folder : {temporary.path(), temporary.filePath(QStringLiteral("missing"))}) {
        qputenv("TMPDIR", QFile::encodeName(folder));
        {
            QSettingsBackend backend;
            backend.write(Application, Section, QStringLiteral("Text1"), QStringLiteral("/srv/shots/"));
            backend.write(Application, Section, QStringLiteral("Check1"), QStringLiteral("0"));
        }
        QSettingsBackend backend;
        QCOMPARE(backend.read(Application, Section, QStringLiteral("Text1")), QStringLiteral("/srv/shots/"));
        QCOMPARE(backend.read(Application, Section, QStringLiteral("Check1")), QStringLiteral("0"));
        QCOMPARE(QDir(temporary.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
        QCOMPARE(QDir(m_config.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList(QStringLiteral("Korvane.conf")));
    }
    qputenv("TMPDIR", savedTemporary);
}

void TestSettingsStore::writeThatCannotReachTheDiskNamesFileAndReason()
{
    // The configuration folder is a file, so nothing can be created inside it (this holds even for root).
    QTemporaryDir root;
    const QString blocked = root.filePath(QStringLiteral("config"));
    writeFileBytes(blocked, "not a folder");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(blocked + QStringLiteral("/sub")));
    QSettingsBackend backend;
    try {
        backend.write(Application, Section, QStringLiteral("Check1"), QStringLiteral("1"));
        QFAIL("write succeeded");
    } catch (const Failure& failure) {
        QCOMPARE(failure.description(), QStringLiteral("Cannot write %1: cannot create the folder %2: Not a directory")
                                            .arg(blocked + QStringLiteral("/sub/Korvane.conf"), blocked));
    }
    // A folder so deep that it can be made, but no file in it can: the folders made for the write go again.
    QTemporaryDir deep;
    QString folder = deep.path();
    while (folder.size() < 4090)
        folder += QLatin1Char('/') + QString(std::min<qsizetype>(250, 4089 - folder.size()), QLatin1Char('d'));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder));
    try {
        backend.write(Application, Section, QStringLiteral("Check1"), QStringLiteral("1"));
        QFAIL("write succeeded");
    } catch (const Failure& failure) {
        QVERIFY2(failure.description().endsWith(QStringLiteral(": File name too long")),
                 qPrintable(failure.description()));
    }
    QCOMPARE(QDir(deep.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
}

void TestSettingsStore::readOnlyHomeIsNamedWithTheReason()
{
    // Root writes anywhere, so the write is made by a child process as an ordinary user.
    QTemporaryDir root;
    const QString home = root.filePath(QStringLiteral("home"));
    QVERIFY(QDir().mkdir(home));
    QVERIFY(QFile::setPermissions(root.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                   QFile::ReadOther | QFile::ExeOther));
    QVERIFY(QFile::setPermissions(home, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    environment.remove(QStringLiteral("XDG_CONFIG_HOME"));
    environment.insert(QStringLiteral("QUOSH_TEST_SETTINGS_WRITER"), QStringLiteral("-"));
    QProcess writer;
    writer.setProcessEnvironment(environment);
    writer.setChildProcessModifier([] {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(3);
        }
    });
    writer.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(writer.waitForFinished(60000));
    QCOMPARE(writer.exitCode(), 1);
    QCOMPARE(QString::fromLocal8Bit(writer.readAllStandardError()).trimmed(),
             QStringLiteral("Cannot write %1/.config/Korvane.conf: cannot create the folder %1/.config: Permission "
                            "denied")
                 .arg(home));
}

void TestSettingsStore::refusedWritesAreToldUntilOneIsStored()
{
    FakeSettings settings;
    FakeDialogs dialogs;
    SettingsStore store(settings, dialogs);
    // A lock held for a while by another copy: refused, refused again, stored, and refused once more.
    for (const bool fails : {true, true, false, true}) {
        settings.writeFails = fails;
        store.saveFromHandler(nullptr, QStringLiteral("Title"), QStringLiteral("Check1"), QStringLiteral("1"));
    }
    QCOMPARE(dialogs.boxes.size(), 2);
    QCOMPARE(dialogs.boxes[1].title, QStringLiteral("Title"));
    QCOMPARE(dialogs.boxes[1].text,
             QStringLiteral("Your settings cannot be saved.\r\nCannot write the settings\r\n\r\nThe tool goes on "
                            "with the options as the window shows them, but this change is not in the settings file, "
                            "and the next start shows what the file holds. Changes refused for the same reason are "
                            "not told again until one is stored."));
    QVERIFY_THROWS_EXCEPTION(Failure, store.save(QStringLiteral("Check1"), QStringLiteral("1")));
}

// Copies that a kill cut short are swept also beside the file that the settings link leads to (a dotfiles folder),
// by the same rules as beside the link.
void TestSettingsStore::copiesBesideALinksTargetAreSwept()
{
    QTemporaryDir dotfiles;
    const QString target = dotfiles.filePath(QStringLiteral("korvane.ini"));
    writeFileBytes(target, "[Ostrafen%20Mirel%20Tasko%20Vendry%20Quosh]\nCheck1=1\n");
    QVERIFY(QFile::link(target, path()));
    const qint64 old = QDateTime::currentSecsSinceEpoch() - 3600;
    for (const char* name : {".korvane.ini.new-4242-1", ".korvane.ini.new-4242-1.lock", ".korvane.ini.new-notes",
                             ".korvane.ini.quosh-partial-0abc12", ".other.ini.quosh-partial-0abc12"}) {
        const QString file = dotfiles.filePath(QString::fromLatin1(name));
        writeFileBytes(file, "x");
        const struct timespec times[2] = {{old, 0}, {old, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(file).constData(), times, 0), 0);
    }
    QCOMPARE(QSettingsBackend::removeAbandonedCopies(Application, 60,
                                                     std::chrono::steady_clock::now() + std::chrono::minutes(1)),
             3);
    QCOMPARE(QDir(dotfiles.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name),
             QStringList({QStringLiteral(".korvane.ini.new-notes"), QStringLiteral(".other.ini.quosh-partial-0abc12"),
                          QStringLiteral("korvane.ini")}));
}

void TestSettingsStore::twoCopiesWritingAtOnceLoseNothing()
{
    QSettingsBackend backend;
    backend.write(Application, Section, QStringLiteral("Option1"), QStringLiteral("True"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config.path());
    QList<QProcess*> writers;
    for (const QString& name : {QStringLiteral("A"), QStringLiteral("B")}) {
        auto* writer = new QProcess(this);
        environment.insert(QStringLiteral("QUOSH_TEST_SETTINGS_WRITER"), name);
        writer->setProcessEnvironment(environment);
        writer->setProcessChannelMode(QProcess::ForwardedChannels);
        writer->start(QCoreApplication::applicationFilePath(), {});
        writers << writer;
    }
    for (QProcess* writer : writers) {
        QVERIFY(writer->waitForFinished(60000));
        QCOMPARE(writer->exitStatus(), QProcess::NormalExit);
        QCOMPARE(writer->exitCode(), 0);
    }
    QCOMPARE(backend.read(Application, Section, QStringLiteral("Option1")), QStringLiteral("True"));
    for (const QString& name : {QStringLiteral("A"), QStringLiteral("B")}) {
        for (int i = 0; i < WritesPerCopy; ++i)
            QCOMPARE(backend.read(Application, Section, name + QString::number(i)), QString::number(i));
        QCOMPARE(backend.read(Application, Section, name + QStringLiteral("Last")),
                 QString::asprintf("%04d", WritesPerCopy - 1));
    }
    QVERIFY(!QFile::exists(path() + QStringLiteral(".lock")));
}

int main(int argc, char* argv[])
{
    const QByteArray writer = qgetenv("QUOSH_TEST_SETTINGS_WRITER");
    QCoreApplication application(argc, argv);
    if (!writer.isEmpty()) {
        try {
            return runWriter(QString::fromLatin1(writer));
        } catch (const Failure& failure) {
            qCritical("%s", failure.what());
            return 1;
        }
    }
    TestSettingsStore test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_SettingsStore.moc"
