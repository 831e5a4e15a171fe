#include "app/AddFolder.h"

#include "app/SettingsStore.h"
#include "platform/Services.h"
#include "platform/dialogs/Dialogs.h"
#include "platform/errors/ErrorReport.h"
#include "platform/errors/Trap.h"

#include <QLineEdit>

namespace {

// Runs one step of the callback; a failure skips that step only.
template <typename Body> void absorb(const Body& body)
{
    try {
        body();
    } catch (...) {
        // The callback runs inside the browser's event loop, where nothing may escape, and has nobody to tell.
    }
}

} // namespace

QString BrowseForFolder(Dialogs& dialogs, QWidget* owner, const QString& prompt, const QString& startFolder)
{
    // The callback keeps its own copy of the start folder for as long as the browser is open.
    return dialogs.browseForFolder(owner, prompt,
                                   [startFolder](FolderBrowserWindow& browser, int message, const QString& path) {
                                       return BrowseCallback(browser, message, path, startFolder);
                                   });
}

int BrowseCallback(FolderBrowserWindow& browser, int message, const QString& path, const QString& startFolder)
{
    switch (message) {
    case FolderBrowserWindow::Initialized:
        absorb([&] { browser.setSelection(startFolder); });
        break;
    case FolderBrowserWindow::SelectionChanged:
        if (!path.isEmpty()) {
            absorb([&] { browser.setStatusText(path); });
        }
        break;
    default:
        break;
    }
    return 0;
}

void PushButton4_Click(Services& services, SettingsStore& store, QWidget& owner, QLineEdit& folderBox)
{
    Trap trap(services.dialogs, services.faults, &owner, QString::fromLatin1(Location::Form1_PushButton4_Click));
    const QString lastFolderKey = QStringLiteral("LastFolderDot");
    QString lastFolder;
    QString result;
    trap.step(100, [&] { lastFolder = store.get(lastFolderKey, QString()); });
    // A failing browser leaves the result empty, which ends the run at the next test.
    trap.step(100, [&] {
        result = BrowseForFolder(services.dialogs, &owner, QStringLiteral("Please select folder:"), lastFolder);
    });
    // A failing test goes on as if the result were not empty.
    if (!trap.test(102, [&] { return !result.isEmpty(); })) {
        return;
    }
    trap.step(104, [&] { lastFolder = result; });
    trap.step(104, [&] { store.save(lastFolderKey, lastFolder); });
    // The root "/" already ends in the separator and is shown as it is.
    if (trap.test(104, [&] { return !result.endsWith(QLatin1Char('/')); })) {
        trap.step(106, [&] { folderBox.setText(result + QLatin1Char('/')); });
    } else {
        trap.step(108, [&] { folderBox.setText(result); });
    }
}
