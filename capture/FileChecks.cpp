#include "capture/FileChecks.h"

#include "platform/dialogs/Clipboard.h"

#include <QDateTime>
#include <QFileInfo>
#include <QString>

bool FolderExists(const QString& path)
{
    // Absorbs every failure: a path that cannot be examined is no folder.
    try {
        if (path.isEmpty()) {
            return false;
        }
        return QFileInfo(path).isDir();
    } catch (...) {
        return false;
    }
}

bool FileExists(const QString& path)
{
    try {
        if (path.isEmpty()) {
            return false;
        }
        const QFileInfo info(path);
        return info.exists() && info.lastModified().isValid();
    } catch (...) {
        return false;
    }
}

void ClearClipboard(Clipboard& clipboard)
{
    // Another program may hold the clipboard for a moment; give up quietly after 1000 tries.
    qint32 attempts = 0;
    while (attempts < 1000) {
        ++attempts;
        try {
            clipboard.clear();
            return;
        } catch (...) {
        }
    }
}
