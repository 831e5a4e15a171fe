#pragma once

#include <QByteArray>
#include <QList>

class QString;

// The folders that a write makes for the settings file: removed again, when they are still empty, unless the write
// stored its change.
class MadeFolders {
public:
    MadeFolders() = default;
    ~MadeFolders();
    MadeFolders(const MadeFolders&) = delete;
    MadeFolders& operator=(const MadeFolders&) = delete;

    // Creates `folder` and the folders above it that are missing, private to the user as the XDG rules ask. Throws
    // Failure naming the settings file `shownPath`, the folder that could not be made, and why.
    void make(const QString& folder, const QString& shownPath);
    // The write stored its change: the folders stay.
    void keep() { m_folders.clear(); }

private:
    QList<QByteArray> m_folders; // native encoding, outermost first
};
