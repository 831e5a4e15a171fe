#include "platform/settings/MadeFolders.h"

#include "platform/errors/Failure.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

MadeFolders::~MadeFolders()
{
    for (auto folder = m_folders.crbegin(); folder != m_folders.crend(); ++folder) {
        ::rmdir(folder->constData());
    }
}

void MadeFolders::make(const QString& folder, const QString& shownPath)
{
    for (qsizetype slash = folder.indexOf(QLatin1Char('/'), 1);; slash = folder.indexOf(QLatin1Char('/'), slash + 1)) {
        const QString step = slash < 0 ? folder : folder.left(slash);
        const QByteArray native = QFile::encodeName(step);
        int error = 0;
        if (::mkdir(native.constData(), 0700) == 0) {
            m_folders.append(native);
        } else {
            struct stat status {};
            error = errno != EEXIST                            ? errno
                    : ::stat(native.constData(), &status) != 0 ? errno
                    : S_ISDIR(status.st_mode)                  ? 0
                                                               : ENOTDIR;
        }
        if (error != 0) {
            throw Failure(QStringLiteral("Cannot write %1: cannot create the folder %2: %3")
                              .arg(shownPath, QDir::toNativeSeparators(step), qt_error_string(error)));
        }
        if (slash < 0) {
            return;
        }
    }
}
