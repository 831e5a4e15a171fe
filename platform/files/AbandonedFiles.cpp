#include "platform/files/AbandonedFiles.h"

#include "platform/files/RegularFile.h"

#include <QFile>

#include <ctime>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

int removeAbandonedFiles(const QString& folder, const std::function<bool(QByteArrayView name)>& isLeftByUs,
                         qint64 minimumAgeSeconds, std::chrono::steady_clock::time_point giveUpAt) noexcept
{
    int removed = 0;
    try {
        const int folderFd =
            ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
        DIR* listing = folderFd >= 0 ? ::fdopendir(folderFd) : nullptr;
        if (!listing) {
            if (folderFd >= 0) {
                ::close(folderFd);
            }
            return 0;
        }
        const std::unique_ptr<DIR, int (*)(DIR*)> closeListing(listing, ::closedir);
        const std::time_t now = std::time(nullptr);
        while (const dirent* entry = ::readdir(listing)) {
            if (std::chrono::steady_clock::now() >= giveUpAt) {
                break;
            }
            if (!isLeftByUs(QByteArrayView(entry->d_name))) {
                continue;
            }
            // Opened without following a link or waiting on a pipe; what is looked at and locked is what goes.
            const FileDescriptor file(
                ::openat(folderFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
            struct stat status {};
            struct stat named {};
            if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
                status.st_uid != ::geteuid() || now - status.st_mtime < minimumAgeSeconds ||
                ::flock(file.get(), LOCK_EX | LOCK_NB) != 0 ||
                ::fstatat(folderFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != status.st_dev ||
                named.st_ino != status.st_ino) {
                continue;
            }
            if (::unlinkat(folderFd, entry->d_name, 0) == 0) {
                ++removed;
            }
        }
    } catch (...) {
        // Tidying up is never worth a failure of its own.
    }
    return removed;
}
