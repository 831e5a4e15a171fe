#pragma once

#include <QString>
#include <QStringList>

#include <vector>

// The picture a desktop's screenshot service writes for the portal, seen as soon as it is written whole. GNOME Shell
// writes its screenshot, then flashes the screen, and answers only once the flash has faded, half a second later:
// the file is whole long before the answer. Watches `folders` (where the shell saves: the pictures folder, else the
// home folder) for a new PNG file of this user's, made after the watch began, that ends with the PNG's closing chunk.
// Watches nothing where the system refuses to watch; the portal's answer comes all the same.
class WrittenPicture {
public:
    explicit WrittenPicture(const QStringList& folders);
    ~WrittenPicture();
    WrittenPicture(const WrittenPicture&) = delete;
    WrittenPicture& operator=(const WrittenPicture&) = delete;

    // Readable when something changed in the folders; -1 when nothing is watched.
    int fd() const { return m_fd; }
    // Takes in what changed; the path of a new PNG that is written whole, else empty.
    QString wholePicture();

private:
    struct Watch {
        int descriptor;
        QString folder;
    };
    int m_fd = -1;
    std::vector<Watch> m_watches;
    qint64 m_sinceNs = 0;
    QStringList m_seen; // new PNG files not yet whole
};

// Whether `tail`, the last bytes of a file, ends with a PNG's closing chunk (IEND, empty, with its CRC).
bool endsWithPngEnd(const QByteArray& tail);
