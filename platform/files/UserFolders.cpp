#include "platform/files/UserFolders.h"

#include <QDir>
#include <QFile>

#include <cstdlib>

#include <pwd.h>
#include <unistd.h>

namespace {

QString absoluteFromEnvironment(const char* name)
{
    const QString value = QFile::decodeName(qgetenv(name));
    return value.startsWith(QLatin1Char('/')) ? QDir::cleanPath(value) : QString();
}

QString passwordDatabaseHome()
{
    const passwd* entry = ::getpwuid(::geteuid());
    if (!entry || !entry->pw_dir) {
        return {};
    }
    const QString home = QFile::decodeName(entry->pw_dir);
    return home.startsWith(QLatin1Char('/')) ? QDir::cleanPath(home) : QString();
}

} // namespace

QString homeFolder()
{
    const QString home = absoluteFromEnvironment("HOME");
    return home.isEmpty() ? passwordDatabaseHome() : home;
}

QString configFolder()
{
    QString config = absoluteFromEnvironment("XDG_CONFIG_HOME");
    if (!config.isEmpty()) {
        return config;
    }
    const QString home = homeFolder();
    return home.isEmpty() ? QString() : QDir(home).filePath(QStringLiteral(".config"));
}

void applyUserFolderRules()
{
    if (absoluteFromEnvironment("HOME").isEmpty()) {
        const QString home = passwordDatabaseHome();
        if (!home.isEmpty()) {
            ::setenv("HOME", QFile::encodeName(home).constData(), 1);
        }
    }
    if (qEnvironmentVariableIsSet("XDG_CONFIG_HOME") && absoluteFromEnvironment("XDG_CONFIG_HOME").isEmpty()) {
        ::unsetenv("XDG_CONFIG_HOME");
    }
}
