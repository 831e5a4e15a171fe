#pragma once

#include <QString>

#include <chrono>

class QByteArray;

// A copy of the settings file beside it, under a name that no other writer uses, where QSettings makes the change
// (QSettings writes only files of its own making, beside a lock of its own). It is removed on every path; what it
// holds reaches the settings file through SafeFile::replace, once it has been read back and checked.
class PrivateCopy {
public:
    // Readable by the user alone, whatever the settings file allows. Throws Failure naming `shownPath`.
    PrivateCopy(const QString& target, const QByteArray& bytes, const QString& shownPath);
    ~PrivateCopy();
    PrivateCopy(const PrivateCopy&) = delete;
    PrivateCopy& operator=(const PrivateCopy&) = delete;

    const QString& path() const { return m_path; }

    // The name of every copy of `target`'s file: ".<file name>.new-".
    static QString namePrefix(const QString& target);

    // Removes the copies of `target`, and what QSettings makes beside them, that writes cut short by a kill or a
    // crash left behind: only those older than `minimumAgeSeconds` that no write holds (removeAbandonedFiles).
    // Stops at `giveUpAt`. Returns how many were removed; never throws.
    static int removeAbandoned(const QString& target, qint64 minimumAgeSeconds,
                               std::chrono::steady_clock::time_point giveUpAt);

private:
    void remove() noexcept;

    QString m_path;
    int m_fd = -1;
};
