#pragma once

#include <QString>

class Dialogs;
class FolderBrowserWindow;
class QLineEdit;
class QWidget;
class SettingsStore;
struct Services;

// The folder browser, modal to `owner`, opened on `startFolder` (nothing preselected when it is empty). Returns the
// chosen path as the browser gives it, or an empty text when the user cancelled. Failures of the browser itself
// pass to the caller.
QString BrowseForFolder(Dialogs& dialogs, QWidget* owner, const QString& prompt, const QString& startFolder);

// What the browser calls while it is open: when it has opened, it is moved onto `startFolder`; when the selection
// moves to a folder of the file system (`path` not empty), that path goes to the status text. Absorbs every
// failure, skipping the step that failed; always answers 0.
int BrowseCallback(FolderBrowserWindow& browser, int message, const QString& path, const QString& startFolder);

// The "..." button: lets the user pick the output folder, opened on the folder picked last time, remembers the
// choice under "LastFolderDot" as the browser gave it and puts it, ending in one "/", into the folder box.
void PushButton4_Click(Services& services, SettingsStore& store, QWidget& owner, QLineEdit& folderBox);
