#include "Form1World.h"
#include "app/MainModule.h"
#include "fakes/FakeScreen.h"
#include "platform/Services.h"

#include <QTest>

namespace {

QStringList keys(std::initializer_list<const char*> pairs)
{
    QStringList list;
    for (const char* pair : pairs)
        list << QString::fromUtf8(pair);
    return list;
}

QString report(int line, const QString& description)
{
    return errorReportText(Load, line, description);
}

} // namespace

// Set-up and the options: what is restored, what is stored as it changes, and what set-up tells.
class TestForm1 : public QObject {
    Q_OBJECT
private slots:
    void firstStartWithAnEmptyStore();
    void restoresStoredOptions_data();
    void restoresStoredOptions();
    void unreadableStoreIsToldOnceAndNothingIsWrittenOverIt();
    void desktopUnknownLeavesTheFolderEmpty();
    void setUpStepsRunInOrderAndGoOnAfterAFailure();
    void failingCursorTestLoadsTheFileAnyway();
    void homePageDraw_data();
    void homePageDraw();
    void homePageThatCannotOpenIsReportedAt110();
    void optionClicksStoreTheCrossedKeys();
    void everyKeystrokeStoresTheWholeText();
    void checkBoxClicksStoreItsValue();
    void failedWritesAreToldOnceForTheSameReason();
    void setAppTitle_data();
    void setAppTitle();
    void badCursorFileIsReportedAt108_data();
    void badCursorFileIsReportedAt108();
};

void TestForm1::firstStartWithAnEmptyStore()
{
    World world;
    Form1& form = world.load();
    QCOMPARE(form.windowTitle(), QStringLiteral("Ostrafen Mirel Tasko Vendry Quosh"));
    QCOMPARE(form.applicationTitle(), QStringLiteral("Ostrafen Mirel Tasko Vendry"));
    QVERIFY(world.controls.Option2->isChecked());
    QVERIFY(!world.controls.Option1->isChecked());
    QCOMPARE(world.controls.Text1->text(), QStringLiteral("/home/user/Desktop/"));
    QCOMPARE(world.controls.Check1->value(), 1);
    QVERIFY(!form.windowIcon().isNull());
    QVERIFY(world.dialogs.boxes.isEmpty());
    QVERIFY(world.shell.opened.isEmpty());
    // Restoring the defaults raised the change handlers, which stored them.
    QCOMPARE(world.settings.writes,
             QStringList({QStringLiteral("Option1=True"), QStringLiteral("Option2=False"),
                          QStringLiteral("Text1=/home/user/Desktop/"), QStringLiteral("Check1=1")}));
}

void TestForm1::restoresStoredOptions_data()
{
    QTest::addColumn<QStringList>("stored"); // key=value
    QTest::addColumn<bool>("jpg");
    QTest::addColumn<bool>("bmp");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<int>("check");
    QTest::addColumn<QStringList>("reports");
    const QString desktop = QStringLiteral("/home/user/Desktop/");
    const auto notANumber = [](const QString& value) {
        return report(134, QStringLiteral("The stored setting \"Check1\" is \"%1\", which is not a number").arg(value));
    };
    const auto notAState = [](const QString& value) {
        return report(134, QStringLiteral("The stored setting \"Check1\" is \"%1\", which is not a check box state "
                                          "(0, 1 or 2)")
                               .arg(value));
    };
    QTest::newRow("JPG stored") << keys({"Option1=False", "Option2=True", "Text1=/srv/shots/", "Check1=0"}) << true
                                << false << "/srv/shots/" << 0 << QStringList();
    QTest::newRow("both True: JPG, set last, wins")
        << keys({"Option1=True", "Option2=True"}) << true << false << desktop << 1 << QStringList();
    QTest::newRow("both False: neither") << keys({"Option1=False", "Option2=False"}) << false << false << desktop << 1
                                         << QStringList();
    QTest::newRow("numbers and letter case")
        << keys({"Option1=0", "Option2=-3"}) << true << false << desktop << 1 << QStringList();
    QTest::newRow("empty Text1 stays empty") << keys({"Text1="}) << false << true << QString() << 1 << QStringList();
    QTest::newRow("folder without separator kept")
        << keys({"Text1=/tmp"}) << false << true << "/tmp" << 1 << QStringList();
    QTest::newRow("Check1 grey") << keys({"Check1=2"}) << false << true << desktop << 2 << QStringList();
    QTest::newRow("Check1 halves round to even")
        << keys({"Check1=2.5"}) << false << true << desktop << 2 << QStringList();
    QTest::newRow("Check1 not a number") << keys({"Check1=abc"}) << false << true << desktop << 0
                                         << QStringList{notANumber("abc")};
    QTest::newRow("Check1 empty") << keys({"Check1="}) << false << true << desktop << 0 << QStringList{notANumber("")};
    QTest::newRow("Check1 3") << keys({"Check1=3"}) << false << true << desktop << 0 << QStringList{notAState("3")};
    QTest::newRow("Check1 -1") << keys({"Check1=-1"}) << false << true << desktop << 0 << QStringList{notAState("-1")};
    QTest::newRow("Check1 70000") << keys({"Check1=70000"}) << false << true << desktop << 0
                                  << QStringList{
                                         report(134, QStringLiteral("The stored setting \"Check1\" is \"70000\", "
                                                                    "which is outside the range of a 16-bit "
                                                                    "integer"))};
    QTest::newRow("Option1 not a Boolean")
        << keys({"Option1=yes"}) << false << false << desktop << 1
        << QStringList{report(128, QStringLiteral("The stored setting \"Option1\" is "
                                                  "\"yes\", which is neither True, "
                                                  "False nor a number"))};
    QTest::newRow("Option2 empty") << keys({"Option2="}) << false << true << desktop << 1
                                   << QStringList{report(130, QStringLiteral("The stored setting \"Option2\" is \"\", "
                                                                             "which is neither True, False nor a "
                                                                             "number"))};
    QTest::newRow("all three bad: three boxes")
        << keys({"Option1=x", "Option2=y", "Check1=z"}) << false << false << desktop << 0
        << QStringList{report(128, QStringLiteral("The stored setting \"Option1\" is \"x\", which is neither True, "
                                                  "False nor a number")),
                       report(130, QStringLiteral("The stored setting \"Option2\" is \"y\", which is neither True, "
                                                  "False nor a number")),
                       notANumber("z")};
    const QString huge(100000, QLatin1Char('9'));
    QTest::newRow("huge Check1 quoted short")
        << QStringList{QStringLiteral("Check1=") + huge} << false << true << desktop << 0
        << QStringList{report(134, QStringLiteral("The stored setting \"Check1\" is \"%1...\", which is outside the "
                                                  "range of a 16-bit integer")
                                       .arg(QString(40, QLatin1Char('9'))))};
}

void TestForm1::restoresStoredOptions()
{
    QFETCH(QStringList, stored);
    QFETCH(bool, jpg);
    QFETCH(bool, bmp);
    QFETCH(QString, folder);
    QFETCH(int, check);
    QFETCH(QStringList, reports);
    World world;
    for (const QString& pair : stored)
        world.store(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
    const Form1& form = world.load();
    QCOMPARE(world.controls.Option1->isChecked(), jpg);
    QCOMPARE(world.controls.Option2->isChecked(), bmp);
    QCOMPARE(form.outputFormat(), jpg ? OutputFormat::Jpeg : OutputFormat::Bmp); // with neither selected, BMP
    QCOMPARE(world.controls.Text1->text(), folder);
    QCOMPARE(world.controls.Check1->value(), check);
    QCOMPARE(world.reports(), reports);
    // A start that finds every key stored as the controls show it has nothing to write.
    if (stored.size() == 4 && reports.isEmpty())
        QCOMPARE(world.settings.writes, QStringList());
    // Once an option is selected, the store holds what the buttons show.
    if (jpg || bmp) {
        QCOMPARE(world.stored(QStringLiteral("Option1")), bmp ? QStringLiteral("True") : QStringLiteral("False"));
        QCOMPARE(world.stored(QStringLiteral("Option2")), jpg ? QStringLiteral("True") : QStringLiteral("False"));
    }
}

void TestForm1::unreadableStoreIsToldOnceAndNothingIsWrittenOverIt()
{
    World world;
    world.store(QStringLiteral("Option2"), QStringLiteral("True"));
    world.store(QStringLiteral("Text1"), QStringLiteral("/srv/shots/"));
    // Told plainly, with the file named: not the error report, which asks for a message to the maker.
    const QString cause =
        QStringLiteral("Cannot read /home/user/.config/Korvane.conf: Too many levels of symbolic links");
    world.settings.readFailure = cause;
    world.load();
    QCOMPARE(world.reports(), QStringList{QStringLiteral("Your settings cannot be read.\r\n") + cause +
                                          QStringLiteral("\r\n\r\nThe options start unset, and no change is written "
                                                         "over the file while it cannot be read.")});
    QCOMPARE(world.dialogs.boxes[0].title, QStringLiteral("Ostrafen Mirel Tasko Vendry"));
    // Neither the defaults nor anything else stands in for what is stored.
    QVERIFY(!world.controls.Option1->isChecked() && !world.controls.Option2->isChecked());
    QCOMPARE(world.controls.Text1->text(), QString());
    QCOMPARE(world.controls.Check1->value(), 0);
    QCOMPARE(world.settings.writes, QStringList());
}

void TestForm1::desktopUnknownLeavesTheFolderEmpty()
{
    World world;
    world.shell.desktopFails = true;
    world.store(QStringLiteral("Text1"), QStringLiteral("/srv/shots/"));
    world.load();
    QCOMPARE(world.controls.Text1->text(), QString());
    QCOMPARE(world.reports(), QStringList{report(132, QStringLiteral("No desktop folder"))});
    QCOMPARE(world.controls.Check1->value(), 1); // the step after it still ran
}

void TestForm1::setUpStepsRunInOrderAndGoOnAfterAFailure()
{
    World world;
    world.putFile(QStringLiteral("HAND-M.CUR"), handCursorBytes());
    world.probe.failing.insert({Load, 104});
    Form1& form = world.load();
    QList<int> lines;
    for (const auto& step : world.probe.steps)
        lines << step.second;
    QCOMPARE(lines, (QList<int>{100, 104, 104, 104, 106, 108, 110, 128, 130, 132, 134}));
    // All three steps on line 104 failed, each with its own box; the rest of set-up went on.
    QCOMPARE(world.dialogs.boxes.size(), 3);
    QCOMPARE(world.reports().first(), report(104, QStringLiteral("Injected failure")));
    QCOMPARE(form.windowTitle(), QString());
    QCOMPARE(form.applicationTitle(), QString());
    QVERIFY(form.hasHandCursor());
    QVERIFY(world.controls.Option2->isChecked());
}

void TestForm1::failingCursorTestLoadsTheFileAnyway()
{
    World world;
    world.probe.failing.insert({Load, 106});
    Form1& form = world.load();
    const QStringList reports = world.reports();
    QCOMPARE(reports.size(), 2);
    QCOMPARE(reports[0], report(106, QStringLiteral("Injected failure")));
    QVERIFY2(reports[1].contains(Load + QStringLiteral("at line 108\r\r")), qPrintable(reports[1]));
    QVERIFY(!form.hasHandCursor());
    QVERIFY(world.controls.Option2->isChecked());
}

void TestForm1::homePageDraw_data()
{
    QTest::addColumn<double>("fraction");
    QTest::addColumn<bool>("opens");
    QTest::newRow("0.06 draws 7") << 0.06 << true;
    QTest::newRow("0.0699 draws 7") << 0.0699 << true;
    QTest::newRow("0.07 draws 8") << 0.07 << false;
    QTest::newRow("0.0599 draws 6") << 0.0599 << false;
    QTest::newRow("0 draws 1") << 0.0 << false;
    QTest::newRow("0.99999 draws 100") << 0.99999 << false;
}

void TestForm1::homePageDraw()
{
    QFETCH(double, fraction);
    QFETCH(bool, opens);
    World world;
    world.random.fraction = fraction;
    world.clock.time = QDateTime(QDate(2026, 12, 6), QTime(16, 49, 54, 500));
    world.load();
    QCOMPARE(world.random.seededWith, 16 * 3600 + 49 * 60 + 54.5);
    QCOMPARE(world.shell.opened, opens ? QStringList{homePageAddress()} : QStringList());
    QVERIFY(world.dialogs.boxes.isEmpty());
    QVERIFY(::homePageDraw(fraction) >= 1 && ::homePageDraw(fraction) <= 100);
}

void TestForm1::homePageThatCannotOpenIsReportedAt110()
{
    World world;
    world.random.fraction = 0.065;
    world.shell.openFails = true;
    world.load();
    QCOMPARE(world.reports(), QStringList{report(110, QStringLiteral("Cannot start the browser"))});
    QVERIFY(world.controls.Option2->isChecked());
}

void TestForm1::optionClicksStoreTheCrossedKeys()
{
    World world;
    Form1& form = world.load();
    form.show();
    world.settings.writes.clear();
    QTest::mouseClick(world.controls.Option1, Qt::LeftButton);
    QVERIFY(world.controls.Option1->isChecked());
    QCOMPARE(world.settings.writes, QStringList({QStringLiteral("Option1=False"), QStringLiteral("Option2=True")}));
    QTest::mouseClick(world.controls.Option2, Qt::LeftButton);
    QCOMPARE(world.stored(QStringLiteral("Option1")), QStringLiteral("True"));
    QCOMPARE(world.stored(QStringLiteral("Option2")), QStringLiteral("False"));

    // The next start brings each value back into the button it came from.
    QTest::mouseClick(world.controls.Option1, Qt::LeftButton);
    World next;
    next.settings.values = world.settings.values;
    next.load();
    QVERIFY(next.controls.Option1->isChecked());
    QVERIFY(!next.controls.Option2->isChecked());
}

void TestForm1::everyKeystrokeStoresTheWholeText()
{
    World world;
    world.store(QStringLiteral("Text1"), QStringLiteral("/tmp"));
    world.load();
    world.settings.writes.clear();
    world.controls.Text1->setFocus();
    world.controls.Text1->end(false);
    QTest::keyClicks(world.controls.Text1, QStringLiteral("/a"));
    QTest::keyClick(world.controls.Text1, Qt::Key_Backspace);
    QCOMPARE(world.settings.writes, QStringList({QStringLiteral("Text1=/tmp/"), QStringLiteral("Text1=/tmp/a"),
                                                 QStringLiteral("Text1=/tmp/")}));
}

void TestForm1::checkBoxClicksStoreItsValue()
{
    World world;
    world.store(QStringLiteral("Check1"), QStringLiteral("2"));
    Form1& form = world.load();
    form.show();
    world.settings.writes.clear();
    // A click on a grey box checks it; the user cannot make it grey again.
    QTest::mouseClick(world.controls.Check1, Qt::LeftButton);
    QTest::mouseClick(world.controls.Check1, Qt::LeftButton);
    QTest::mouseClick(world.controls.Check1, Qt::LeftButton);
    QCOMPARE(world.settings.writes,
             QStringList({QStringLiteral("Check1=1"), QStringLiteral("Check1=0"), QStringLiteral("Check1=1")}));
}

void TestForm1::failedWritesAreToldOnceForTheSameReason()
{
    World world;
    world.settings.writeFails = true;
    Form1& form = world.load();
    form.show();
    QTest::mouseClick(world.controls.Option1, Qt::LeftButton);
    QTest::keyClicks(world.controls.Text1, QStringLiteral("x"));
    QCOMPARE(world.dialogs.boxes.size(), 1);
    const FakeDialogs::Box& box = world.dialogs.boxes.first();
    QCOMPARE(box.title, QStringLiteral("Ostrafen Mirel Tasko Vendry"));
    QCOMPARE(box.icon, Dialogs::Icon::Warning);
    QVERIFY(box.text.startsWith(QStringLiteral("Your settings cannot be saved.\r\nCannot write the settings\r\n")));
    // The tool goes on with what the user chose.
    QVERIFY(world.controls.Option1->isChecked());
    QVERIFY(world.controls.Text1->text().endsWith(QLatin1Char('x')));
}

void TestForm1::setAppTitle_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("title");
    QTest::newRow("product name loses its last word") << "Ostrafen Mirel Tasko Vendry Quosh"
                                                      << "Ostrafen Mirel Tasko Vendry";
    QTest::newRow("two words") << "Screen Saver"
                               << "Screen";
    QTest::newRow("one word is kept") << "Quosh"
                                      << "Quosh";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("trailing blank") << "Quosh Tool "
                                    << "Quosh Tool";
    QTest::newRow("leading blank") << " Quosh"
                                   << "";
    QTest::newRow("exactly 40 after the first cut") << "aaaaaaaaa bbbbbbbbb ccccccccc ddddddddd e"
                                                    << "aaaaaaaaa bbbbbbbbb ccccccccc ddddddddd";
    QTest::newRow("cut until at most 40") << "aaaaaaaaa bbbbbbbbb ccccccccc ddddddddd eeeeeeeee fffffffff"
                                          << "aaaaaaaaa bbbbbbbbb ccccccccc ddddddddd";
    QTest::newRow("one long word is cut to 40")
        << QString(50, QLatin1Char('q')) + " x" << QString(40, QLatin1Char('q'));
}

void TestForm1::setAppTitle()
{
    QFETCH(QString, name);
    QFETCH(QString, title);
    QCOMPARE(SetAppTitle(name), title);
}

void TestForm1::badCursorFileIsReportedAt108_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("why");
    QTest::newRow("empty") << QByteArray() << QStringLiteral("the file is empty");
    QTest::newRow("truncated") << handCursorBytes().left(100)
                               << QStringLiteral("its directory points outside the file");
    QTest::newRow("not a cursor") << QByteArray("GIF89a and more bytes than a header")
                                  << QStringLiteral("the file does not start like a cursor file");
}

void TestForm1::badCursorFileIsReportedAt108()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, why);
    World world;
    world.putFile(QStringLiteral("HAND-M.CUR"), bytes);
    Form1& form = world.load();
    const QString path = QDir::toNativeSeparators(world.programFolder.filePath(QStringLiteral("HAND-M.CUR")));
    QCOMPARE(world.reports(), QStringList{report(108, path + QStringLiteral(" is not a loadable cursor: ") + why)});
    QVERIFY(!form.hasHandCursor());
    QVERIFY(world.controls.Option2->isChecked());
}

QTEST_MAIN(TestForm1)
#include "tst_Form1.moc"
