#include "app/AddFolder.h"

#include "app/SettingsStore.h"
#include "platform/Dialogs.h"
#include "platform/ErrorReport.h"
#include "platform/Services.h"
#include "platform/Trap.h"

#include <QLineEdit>

QString BrowseForFolder(Dialogs& dialogs, QWidget* owner, const QString& prompt, const QString& startFolder)
{
    return dialogs.browseForFolder(owner, prompt, startFolder);
}

void PushButton4_Click(Services& services, SettingsStore& store, QWidget& owner, QLineEdit& folderBox)
{
    Trap trap(services.dialogs, services.faults, &owner, QString::fromLatin1(Location::Form1_PushButton4_Click));
    const QString lastFolderKey = QStringLiteral("LastFolderDot");
    QString lastFolder;
    QString result;
    trap.step(100, [&] { lastFolder = store.get(lastFolderKey, QString()); });
    trap.step(100, [&] {
        result = BrowseForFolder(services.dialogs, &owner, QStringLiteral("Please select folder:"), lastFolder);
    });
    if (!trap.test(102, [&] { return !result.isEmpty(); }))
        return;
    trap.step(104, [&] { lastFolder = result; });
    trap.step(104, [&] { store.save(lastFolderKey, lastFolder); });
    if (trap.test(104, [&] { return !result.endsWith(QLatin1Char('/')); }))
        trap.step(106, [&] { folderBox.setText(result + QLatin1Char('/')); });
    else
        trap.step(108, [&] { folderBox.setText(result); });
}
