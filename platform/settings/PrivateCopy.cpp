#include "platform/settings/PrivateCopy.h"

#include "platform/errors/Failure.h"
#include "platform/files/AbandonedFiles.h"
#include "platform/files/RegularFile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

Failure cannotWrite(const QString& shownPath, int error)
{
    return Failure(QStringLiteral("Cannot write %1: %2").arg(shownPath, qt_error_string(error)));
}

} // namespace

PrivateCopy::PrivateCopy(const QString& target, const QByteArray& bytes, const QString& shownPath)
{
    static std::atomic<int> copies{0};
    const QString prefix = namePrefix(target);
    for (;;) {
        m_path = prefix + QStringLiteral("%1-%2").arg(::getpid()).arg(++copies);
        m_fd = ::open(QFile::encodeName(m_path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (m_fd < 0 && errno == EEXIST) {
            continue; // left by a copy of the program that had this process number and ended in the middle
        }
        // Locked, so that the tidy-up of copies a kill left behind never takes it; QSettings writes it anew as
        // another file, which is still young when it is read back.
        if (m_fd >= 0) {
            static_cast<void>(::flock(m_fd, LOCK_EX | LOCK_NB));
        }
        if (m_fd < 0 || !writeAllBytes(m_fd, bytes)) {
            const int error = errno;
            remove();
            throw cannotWrite(shownPath, error);
        }
        return;
    }
}

PrivateCopy::~PrivateCopy()
{
    remove();
}

QString PrivateCopy::namePrefix(const QString& target)
{
    const QFileInfo info(target);
    return info.absoluteDir().filePath(QStringLiteral(".%1.new-").arg(info.fileName()));
}

int PrivateCopy::removeAbandoned(const QString& target, qint64 minimumAgeSeconds,
                                 std::chrono::steady_clock::time_point giveUpAt)
{
    // ".<file>.new-<process>-<count>", as copies are named; "<that>.lock", which QSettings takes on it, and
    // "<that>.XXXXXX", where it writes the copy anew.
    const QByteArray prefix = QFile::encodeName(QFileInfo(namePrefix(target)).fileName());
    const auto isCopy = [&prefix](QByteArrayView name) {
        if (!name.startsWith(prefix)) {
            return false;
        }
        name = name.sliced(prefix.size());
        const qsizetype dot = name.indexOf('.');
        const QByteArrayView suffix = dot < 0 ? QByteArrayView() : name.sliced(dot + 1);
        if (dot >= 0 && suffix != "lock" &&
            (suffix.size() != 6 || !std::all_of(suffix.begin(), suffix.end(), [](char c) {
                 return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
             }))) {
            return false;
        }
        if (dot >= 0) {
            name.truncate(dot);
        }
        const qsizetype dash = name.indexOf('-');
        const auto isNumber = [](QByteArrayView digits) {
            return !digits.isEmpty() &&
                   std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
        };
        return dash > 0 && isNumber(name.first(dash)) && isNumber(name.sliced(dash + 1));
    };
    return removeAbandonedFiles(QFileInfo(target).absolutePath(), isCopy, minimumAgeSeconds, giveUpAt);
}

void PrivateCopy::remove() noexcept
{
    if (!m_path.isEmpty()) {
        ::unlink(QFile::encodeName(m_path).constData());
        m_path.clear();
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}
