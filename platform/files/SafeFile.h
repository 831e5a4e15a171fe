#pragma once

#include <QString>

class QRegularExpression;
struct RegularFileRead;

#include <chrono>
#include <cstddef>
#include <cstdint>

// Writes a new file so that it appears under its name complete or not at all, and never over an existing file.
// The bytes go to a hidden temporary file in the target's folder, locked (flock) from its creation until it is in
// place; commit() moves it to the target name or, when
// that is taken, to the first free "name (2).ext", "name (3).ext", ... . A failure, or destroying the object
// before commit(), removes the temporary file. Every failure throws Failure with the system's reason:
// "Cannot write /home/ann/Desktop/Screen Capture 12_06_26_16_49_54.bmp: No space left on device".
class SafeFile {
public:
    // Creates the temporary file next to `fileName`; throws when the folder is missing or not writable. `mode`: the
    // new file's permissions, less the umask; `shownName`: the name that failures give (`fileName` when empty).
    explicit SafeFile(QString fileName, unsigned mode = 0644, QString shownName = QString());
    ~SafeFile();
    SafeFile(const SafeFile&) = delete;
    SafeFile& operator=(const SafeFile&) = delete;

    // Writes all `size` bytes, however the system splits them.
    void write(const void* data, std::size_t size);
    // Starts the disk's writeback of what was written since the last call and returns without waiting for it, so
    // that the flush in commit() finds most of the file on its way already. Never fails: a file system that cannot
    // do it leaves everything to the flush, which also reports any error the disk gives.
    void startWriteback() noexcept;
    // The file system's preferred size of one write, in bytes (4096 where it does not say).
    std::size_t preferredWriteSize() const noexcept;
    // Makes the data durable, closes the file and moves it into place; returns the path it was given.
    QString commit();

    // Gives the new file these permissions, which the umask does not change (those of the file it replaces).
    void setPermissions(unsigned mode);
    // Makes the data durable and puts the file in the place of the target, but only over the file that `read` found
    // there, or while there is none where it found none: another program (an editor) may have saved its own since.
    // Returns false when that happened; the target then holds that program's save as it made it, and the new file is
    // gone. Throws Failure when the file cannot be put in place, or when other programs kept saving while their
    // save was put back (one of those saves is then kept aside, under the name that the failure gives).
    bool replace(const RegularFileRead& read);

    // The whole file in one call.
    static QString writeNew(const QString& fileName, const void* data, std::size_t size);

    // Removes what a save cut short by a crash or a power cut left in `folder`: the hidden temporary files this
    // class makes, named as only they are, for a target whose name `targetName` matches in full, when they are
    // regular files of this user, last changed at least `minimumAgeSeconds` ago, and no save holds their lock (a
    // save under way in another copy of the program, however slow). Anything else is left alone. Stops looking at
    // `giveUpAt`. Returns how many were removed; never throws. Safe to call on any thread.
    static int removeStaleTemporaryFiles(const QString& folder, const QRegularExpression& targetName,
                                         qint64 minimumAgeSeconds, std::chrono::steady_clock::time_point giveUpAt);

    // Test seam: while one lives on this thread, each file accepts `bytes` bytes and then fails its write with
    // `error` (ENOSPC by default), as a full disk does.
    class FailAfter {
    public:
        explicit FailAfter(std::int64_t bytes, int error = 0);
        ~FailAfter();
        FailAfter(const FailAfter&) = delete;
        FailAfter& operator=(const FailAfter&) = delete;

        std::int64_t bytes() const { return m_bytes; }
        int error() const { return m_error; }

    private:
        std::int64_t m_bytes;
        int m_error;
        const FailAfter* m_previous;
    };

private:
    [[noreturn]] void fail(int error);
    void discard() noexcept;
    QString moveIntoPlace();
    bool putBack(const struct stat& lastPut, const struct stat& nowHeld);
    QString shownName() const;

    QString m_fileName;
    QString m_shownName;
    QByteArray m_tempPath; // native encoding, as the system calls want it
    int m_fd = -1;
    std::int64_t m_written = 0;
    std::int64_t m_writebackFrom = 0; // bytes before it have had their writeback started
};
