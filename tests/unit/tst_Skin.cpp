#include "app/Skin.h"
#include "platform/errors/Failure.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

namespace {} // namespace

class TestSkin : public QObject {
    Q_OBJECT
private slots:
    void readSkinFile_data();
    void readSkinFile();
    void shippedSampleSkinIsValid();
    void onlyANormalFileIsASkin_data();
    void onlyANormalFileIsASkin();
    void skinCannotResizeTheWindowOrItsControls();
    void pointerRule_data();
    void pointerRule();
};

void TestSkin::readSkinFile_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("failure"); // empty: accepted
    QTest::newRow("sample") << QByteArray("QWidget { background: #dde; }\nQPushButton { font-weight: bold; }")
                            << QString();
    QTest::newRow("comments and non-ASCII")
        << QByteArray("/* \xc3\xa9t\xc3\xa9 */ QLabel { color: red; }") << QString();
    QTest::newRow("empty") << QByteArray() << "The skin %1 is empty";
    QTest::newRow("blank") << QByteArray(" \n\t \r\n") << "The skin %1 is empty";
    QTest::newRow("binary") << QByteArray("\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR", 16)
                            << "The skin %1 is not a text file";
    QTest::newRow("not UTF-8") << QByteArray("QWidget { color: \xff\xfe; }") << "The skin %1 is not a text file";
    QTest::newRow("declaration cut off") << QByteArray("QWidget { color: ") << "The skin %1 is not a valid style sheet";
    QTest::newRow("unbalanced braces") << QByteArray("QWidget { color: red; }}}")
                                       << "The skin %1 is not a valid style "
                                          "sheet";
    QTest::newRow("very large") << QByteArray(MaxSkinFileSize + 1, ' ')
                                << QStringLiteral(
                                       "The skin %1 is too large (1048577 bytes; a skin has at most 1048576)");
}

void TestSkin::readSkinFile()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, failure);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("x/o.cjs"));
    writeFileBytes(path, bytes);
    try {
        QCOMPARE(::readSkinFile(path), QString::fromUtf8(bytes));
        QVERIFY(failure.isEmpty());
    } catch (const Failure& error) {
        QCOMPARE(error.description(), failure.arg(QDir::toNativeSeparators(path)));
    }
}

void TestSkin::shippedSampleSkinIsValid()
{
    QVERIFY(!::readSkinFile(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../assets/sample-skin/x/o.cjs")).isEmpty());
}

void TestSkin::onlyANormalFileIsASkin_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("applied");
    QTest::newRow("file") << "file" << true;
    QTest::newRow("link to a file") << "link" << true;
    QTest::newRow("missing") << "missing" << false;
    QTest::newRow("folder named o.cjs") << "folder" << false;
    QTest::newRow("broken link") << "broken" << false;
    QTest::newRow("other letter case") << "case" << false;
}

void TestSkin::onlyANormalFileIsASkin()
{
    QFETCH(QString, kind);
    QFETCH(bool, applied);
    QTemporaryDir folder;
    const QString skin = folder.filePath(QStringLiteral("x/o.cjs"));
    const QByteArray sheet("QRadioButton { color: navy; }");
    QDir().mkpath(folder.filePath(QStringLiteral("x")));
    if (kind == QLatin1String("file"))
        writeFileBytes(skin, sheet);
    else if (kind == QLatin1String("link")) {
        writeFileBytes(folder.filePath(QStringLiteral("real.qss")), sheet);
        QVERIFY(QFile::link(folder.filePath(QStringLiteral("real.qss")), skin));
    } else if (kind == QLatin1String("folder"))
        QDir().mkpath(skin);
    else if (kind == QLatin1String("broken"))
        QVERIFY(QFile::link(folder.filePath(QStringLiteral("gone.qss")), skin));
    else if (kind == QLatin1String("case"))
        writeFileBytes(folder.filePath(QStringLiteral("x/O.CJS")), sheet);

    QWidget window;
    auto* option = new QRadioButton(QStringLiteral("JPG"), &window);
    ApplySkin(window, folder.path());
    QCOMPARE(window.styleSheet(), applied ? QString::fromUtf8(sheet) : QString());
    QCOMPARE(option->autoFillBackground(), applied);
    QCOMPARE(window.autoFillBackground(), applied);
    if (applied)
        QCOMPARE(option->palette().color(option->backgroundRole()), buttonFaceColor());
}

void TestSkin::skinCannotResizeTheWindowOrItsControls()
{
    // Sizes like these would need backing stores of gigabytes; the layout is fixed, a skin only restyles it.
    QTemporaryDir folder;
    writeFileBytes(folder.filePath(QStringLiteral("x/o.cjs")),
                   "QWidget { min-width: 99999998px; min-height: 99999px; }");
    QWidget window;
    window.setFixedSize(535, 212);
    auto* option = new QRadioButton(QStringLiteral("JPG"), &window);
    option->setGeometry(16, 20, 50, 19);
    ApplySkin(window, folder.path());
    window.ensurePolished();
    QCOMPARE(window.size(), QSize(535, 212));
    QCOMPARE(option->size(), QSize(50, 19));
    QVERIFY(!window.grab().isNull());
}

void TestSkin::pointerRule_data()
{
    QTest::addColumn<int>("current");
    QTest::addColumn<bool>("overButton");
    QTest::addColumn<int>("next");
    QTest::newRow("background from default") << 0 << false << 0;
    QTest::newRow("background from hand") << 99 << false << 0;
    QTest::newRow("button from default") << 0 << true << 99;
    QTest::newRow("button from hand") << 99 << true << 99;
    QTest::newRow("hourglass stays over background") << 11 << false << 11;
    QTest::newRow("hourglass stays over button") << 11 << true << 11;
}

void TestSkin::pointerRule()
{
    QFETCH(int, current);
    QFETCH(bool, overButton);
    QFETCH(int, next);
    QCOMPARE(nextMousePointer(current, overButton), next);
}

QTEST_MAIN(TestSkin)
#include "tst_Skin.moc"
