#pragma once

#include <QString>

#include <chrono>
#include <optional>

class Failure;
class QByteArray;
struct RegularFileRead;
struct stat;

// A copy of the settings file beside it, under a name that no other writer uses, where QSettings makes the change.
// It is removed on every path unless it was moved into place.
class PrivateCopy {
public:
    // `mode`: the permissions of the file it replaces; a new file gets the usual ones for the user's umask. Throws
    // Failure naming `shownPath`.
    PrivateCopy(const QString& target, const QByteArray& bytes, std::optional<uint> mode, const QString& shownPath);
    ~PrivateCopy();
    PrivateCopy(const PrivateCopy&) = delete;
    PrivateCopy& operator=(const PrivateCopy&) = delete;

    const QString& path() const { return m_path; }

    // Makes the copy durable and puts it in the place of `target`, but only over the file that `read` found there
    // (or where it found none): another program (an editor) may have saved its own in the meantime. Returns false
    // when that happened; `target` then holds that program's file as it made it, and the copy is gone. Throws
    // Failure naming `shownPath`.
    bool moveOnto(const QString& target, const RegularFileRead& read, const QString& shownPath);

    // The name of every copy of `target`'s file: ".<file name>.new-".
    static QString namePrefix(const QString& target);

    // Removes the copies of `target`, and what QSettings makes beside them, that writes cut short by a kill or a
    // crash left behind: only those older than `minimumAgeSeconds` that no write holds (removeAbandonedFiles).
    // Stops at `giveUpAt`. Returns how many were removed; never throws.
    static int removeAbandoned(const QString& target, qint64 minimumAgeSeconds,
                               std::chrono::steady_clock::time_point giveUpAt);

private:
    void remove() noexcept;
    void putBack(const QString& target, const struct stat& put, const struct stat& held, const QString& shownPath);
    Failure keptAside(const QString& shownPath, const QString& reason);

    QString m_path;
    int m_fd = -1;
    uint m_mode = 0600;
};
