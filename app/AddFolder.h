#pragma once

#include <QString>

class Dialogs;
class QLineEdit;
class QWidget;
class SettingsStore;
struct Services;

// The folder browser, modal to `owner`, opened on `startFolder`. Returns the chosen path, or an empty text when
// the user cancelled.
QString BrowseForFolder(Dialogs& dialogs, QWidget* owner, const QString& prompt, const QString& startFolder);

// The "..." button: lets the user pick the output folder, opened on the folder picked last time, remembers the
// choice under "LastFolderDot" and puts it, ending in "/", into the folder box.
void PushButton4_Click(Services& services, SettingsStore& store, QWidget& owner, QLineEdit& folderBox);
