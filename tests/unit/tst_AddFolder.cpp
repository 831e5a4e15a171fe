#include "app/AddFolder.h"
#include "app/Form1.h"
#include "fakes/FakeDialogs.h"
#include "fakes/FakeMainWindow.h"
#include "fakes/FakeScreen.h"
#include "fakes/FakeServices.h"
#include "platform/Services.h"
#include "platform/errors/ErrorReport.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

namespace {

const QString Section = QStringLiteral("Korvane/Ostrafen Mirel Tasko Vendry Quosh/");
const QString Browse = QString::fromLatin1(Location::Form1_PushButton4_Click);
const QString Prompt = QStringLiteral("Please select folder:");

// The main window over fakes, with the folder box and the last folder already stored.
struct World : FakeCaptureServices {
    std::unique_ptr<Form1> form;

    World(const QString& text1, const std::optional<QString>& lastFolder)
    {
        settings.values.insert(Section + QStringLiteral("Text1"), text1);
        if (lastFolder)
            settings.values.insert(Section + QStringLiteral("LastFolderDot"), *lastFolder);
        form = std::make_unique<Form1>(services);
        form->Form_Load();
        form->show();
        settings.writes.clear();
        dialogs.boxes.clear();
    }
    std::optional<QString> stored(const QString& key) const
    {
        const auto found = settings.values.find(Section + key);
        return found == settings.values.end() ? std::nullopt : std::optional<QString>(*found);
    }
    QString folderBox() const { return form->folderText(); }
    void typeOverFolderBox(const QString& text)
    {
        auto* box = form->findChild<QLineEdit*>(QStringLiteral("Text1"));
        box->selectAll();
        QTest::keyClicks(box, text);
    }
    void browse(const QString& answer)
    {
        dialogs.browseAnswer = answer;
        QTest::mouseClick(form->findChild<QPushButton*>(QStringLiteral("PushButton4")), Qt::LeftButton);
    }
    QStringList reports() const
    {
        QStringList texts;
        for (const FakeDialogs::Box& box : dialogs.boxes)
            texts << box.text;
        return texts;
    }
};

} // namespace

class TestAddFolder : public QObject {
    Q_OBJECT
private slots:
    void choosingAFolder_data();
    void choosingAFolder();
    void cancelChangesNothing();
    void nextBrowseOpensOnTheLastChoiceNotOnTheTypedFolder();
    void failures_data();
    void failures();
    void callbackAbsorbsEveryFailure();
};

void TestAddFolder::choosingAFolder_data()
{
    QTest::addColumn<std::optional<QString>>("lastFolder");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("opensOn");
    QTest::addColumn<QString>("shown");

    QTest::newRow("ordinary folder gains one separator in the box only")
        << std::optional<QString>(QStringLiteral("/srv/old")) << "/home/ann/shots"
        << "/srv/old"
        << "/home/ann/shots/";
    QTest::newRow("root keeps its one separator") << std::optional<QString>(QStringLiteral("/srv/old")) << "/"
                                                  << "/srv/old"
                                                  << "/";
    QTest::newRow("first browse: nothing preselected") << std::optional<QString>() << "/home/ann/shots"
                                                       << ""
                                                       << "/home/ann/shots/";
    QTest::newRow("stored empty last folder: nothing preselected") << std::optional<QString>(QString()) << "/tmp"
                                                                   << ""
                                                                   << "/tmp/";
}

void TestAddFolder::choosingAFolder()
{
    QFETCH(std::optional<QString>, lastFolder);
    QFETCH(QString, answer);
    QFETCH(QString, opensOn);
    QFETCH(QString, shown);

    World world(QStringLiteral("/typed/"), lastFolder);
    world.browse(answer);
    QCOMPARE(world.dialogs.browsePrompts, QStringList{Prompt});
    QCOMPARE(world.dialogs.browseStarts, QStringList{opensOn});
    QCOMPARE(world.folderBox(), shown);
    // The last folder is stored exactly as the browser gave it; the folder box's text follows through its change
    // handler.
    QCOMPARE(world.stored(QStringLiteral("LastFolderDot")), std::optional<QString>(answer));
    QCOMPARE(world.stored(QStringLiteral("Text1")), std::optional<QString>(shown));
    QCOMPARE(world.settings.writes.first(), QStringLiteral("LastFolderDot=") + answer);
    QCOMPARE(world.reports(), QStringList());
}

void TestAddFolder::cancelChangesNothing()
{
    World world(QStringLiteral("/typed/"), QStringLiteral("/srv/old"));
    world.browse(QString());
    QCOMPARE(world.dialogs.browseStarts, QStringList{QStringLiteral("/srv/old")});
    QCOMPARE(world.folderBox(), QStringLiteral("/typed/"));
    QCOMPARE(world.settings.writes, QStringList());
    QCOMPARE(world.reports(), QStringList());
}

void TestAddFolder::nextBrowseOpensOnTheLastChoiceNotOnTheTypedFolder()
{
    World world(QStringLiteral("/typed/"), std::nullopt);
    world.browse(QStringLiteral("/home/ann/shots"));
    world.typeOverFolderBox(QStringLiteral("/elsewhere/"));
    QCOMPARE(world.stored(QStringLiteral("Text1")), std::optional<QString>(QStringLiteral("/elsewhere/")));
    world.browse(QString());
    world.browse(QStringLiteral("/"));
    QCOMPARE(world.dialogs.browseStarts,
             (QStringList{QString(), QStringLiteral("/home/ann/shots"), QStringLiteral("/home/ann/shots")}));
    QCOMPARE(world.folderBox(), QStringLiteral("/"));
    world.browse(QString());
    QCOMPARE(world.dialogs.browseStarts.last(), QStringLiteral("/"));
}

void TestAddFolder::failures_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("answer");      // what the browser returns
    QTest::addColumn<QStringList>("reports"); // the start of each box's text
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("lastFolder");

    const QString injected = QStringLiteral("Injected failure");
    const QString chosen = QStringLiteral("/home/ann/shots");
    // The browser fails after the user chose: the result stays empty and the run ends without storing anything.
    QTest::newRow("browser fails") << "browser" << chosen
                                   << QStringList{errorReportText(Browse, 100, QStringLiteral("No display"))}
                                   << "/typed/"
                                   << "/srv/old";
    // Both steps of line 100 fail: the browser never opens.
    QTest::newRow("line 100") << "100" << chosen
                              << QStringList{errorReportText(Browse, 100, injected),
                                             errorReportText(Browse, 100, injected)}
                              << "/typed/"
                              << "/srv/old";
    // The empty-result test gives no answer: a cancelled browse goes on as a choice of the empty text.
    QTest::newRow("line 102 after a cancel")
        << "102" << QString() << QStringList{errorReportText(Browse, 102, injected)} << "/"
        << "";
    // All three steps of line 104 fail, the last-character test among them: the separator is added all the same.
    QTest::newRow("line 104 on the root") << "104"
                                          << "/" << QStringList(3, errorReportText(Browse, 104, injected)) << "//"
                                          << "/srv/old";
    // The settings cannot be written: the last folder is reported at 104, the box is filled all the same, and its
    // change handler tells once that the settings are not saved.
    QTest::newRow("settings not writable")
        << "writes" << chosen
        << QStringList{errorReportText(Browse, 104, QStringLiteral("Cannot write the settings")),
                       QStringLiteral("Your settings cannot be saved.")}
        << "/home/ann/shots/"
        << "/srv/old";
    // Filling the box fails, either way: the other way of filling it does not run.
    QTest::newRow("line 106") << "106" << chosen << QStringList{errorReportText(Browse, 106, injected)} << "/typed/"
                              << "/home/ann/shots";
    QTest::newRow("line 108") << "108"
                              << "/" << QStringList{errorReportText(Browse, 108, injected)} << "/typed/"
                              << "/";
}

void TestAddFolder::failures()
{
    QFETCH(QString, failure);
    QFETCH(QString, answer);
    QFETCH(QStringList, reports);
    QFETCH(QString, shown);
    QFETCH(QString, lastFolder);

    World world(QStringLiteral("/typed/"), QStringLiteral("/srv/old"));
    if (failure == QLatin1String("browser"))
        world.dialogs.onBrowse = [] { throw Failure(QStringLiteral("No display")); };
    else if (failure == QLatin1String("writes"))
        world.settings.writeFails = true;
    else
        world.probe.failing.insert({Browse, failure.toInt()});
    world.browse(answer);
    const QStringList shownReports = world.reports();
    QCOMPARE(shownReports.size(), reports.size());
    for (qsizetype i = 0; i < reports.size(); ++i)
        QVERIFY2(shownReports[i].startsWith(reports[i]), qPrintable(shownReports[i]));
    QCOMPARE(world.folderBox(), shown);
    QCOMPARE(world.stored(QStringLiteral("LastFolderDot")), std::optional<QString>(lastFolder));
}

void TestAddFolder::callbackAbsorbsEveryFailure()
{
    FakeBrowserWindow browser;
    const QString start = QStringLiteral("/srv/old");
    QCOMPARE(BrowseCallback(browser, FolderBrowserWindow::Initialized, QString(), start), 0);
    QCOMPARE(BrowseCallback(browser, FolderBrowserWindow::SelectionChanged, QStringLiteral("/srv"), start), 0);
    // A selection that is no file-system folder has no path and leaves the status text alone.
    QCOMPARE(BrowseCallback(browser, FolderBrowserWindow::SelectionChanged, QString(), start), 0);
    QCOMPARE(BrowseCallback(browser, 99, QStringLiteral("/x"), start), 0);
    QCOMPARE(browser.selections, QStringList{start});
    QCOMPARE(browser.statusTexts, QStringList{QStringLiteral("/srv")});

    browser.failing = true;
    QCOMPARE(BrowseCallback(browser, FolderBrowserWindow::Initialized, QString(), start), 0);
    QCOMPARE(BrowseCallback(browser, FolderBrowserWindow::SelectionChanged, QStringLiteral("/srv"), start), 0);

    // A browser whose opening step fails still opens and can be confirmed.
    World world(QStringLiteral("/typed/"), start);
    world.dialogs.browser.failing = true;
    world.browse(QStringLiteral("/home/ann/shots"));
    QCOMPARE(world.reports(), QStringList());
    QCOMPARE(world.folderBox(), QStringLiteral("/home/ann/shots/"));
}

QTEST_MAIN(TestAddFolder)
#include "tst_AddFolder.moc"
