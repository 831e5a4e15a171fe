// The settings file Korvane.conf, as a hand edit, a crash or another program may have left it: every key either
// reads as text or the read is refused with a Failure. A write then either changes that one key and keeps every
// other readable value, or is refused and leaves the file as it was; either way nothing else is left in its folder.

#include "app/MainModule.h"
#include "app/SettingsStore.h"
#include "fuzz/FuzzSupport.h"
#include "platform/errors/Failure.h"
#include "platform/settings/QSettingsBackend.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStringList>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace {

const std::array<QString, 5> Keys = {QStringLiteral("Check1"), QStringLiteral("Option1"), QStringLiteral("Option2"),
                                     QStringLiteral("Text1"), QStringLiteral("LastFolderDot")};

struct Read {
    bool refused = false;
    std::optional<QString> value;
};

Read read(QSettingsBackend& backend, const QString& key)
{
    try {
        return {false, backend.read(QString::fromLatin1(SettingsApplication), QString::fromLatin1(ProductName), key)};
    } catch (const Failure&) {
        return {true, std::nullopt};
    }
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

const QString& settingsPath()
{
    static const QString path = [] {
        const QString found = QSettingsBackend::filePath(QString::fromLatin1(SettingsApplication));
        // Never the user's own settings.
        if (!found.startsWith(fuzz::scratchFolder() + QLatin1Char('/')))
            fuzz::wrong(QStringLiteral("the settings file %1 is not in the scratch folder").arg(found));
        return found;
    }();
    return path;
}

// A write, done or refused, leaves no private copy or lock beside the settings file.
void leavesNothingElse()
{
    const QStringList names =
        QDir(fuzz::scratchFolder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    if (names != QStringList(QStringLiteral("Korvane.conf")))
        fuzz::wrong(QStringLiteral("the settings folder holds %1").arg(names.join(QStringLiteral(", "))));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Before Qt first looks for the settings folder.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(fuzz::scratchFolder()));
    fuzz::startQt<QCoreApplication>();
    settingsPath();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QString& path = settingsPath();
    {
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
            fuzz::wrong(QStringLiteral("cannot write the scratch file %1").arg(path));
    }
    static QSettingsBackend backend; // its parse of the last bytes read is kept from one input to the next
    std::array<Read, Keys.size()> before;
    for (std::size_t i = 0; i < Keys.size(); ++i)
        before[i] = read(backend, Keys[i]);

    // Commas, quotes and the control characters a cp1252 name read as Latin-1 brings along (NEL, DEL).
    const QString folder = QStringLiteral("/home/user/Pictures, \"new\"\u0085\u007f/");
    try {
        backend.write(QString::fromLatin1(SettingsApplication), QString::fromLatin1(ProductName),
                      QStringLiteral("Text1"), folder);
    } catch (const Failure&) {
        leavesNothingElse();
        const QByteArray now = contents(path);
        if (now != bytes) {
            fuzz::wrong(QStringLiteral("a refused write changed the settings file to \"%1\"")
                            .arg(QString::fromLatin1(now.toPercentEncoding(" /=[]@,\"\n"))));
        }
        return 0;
    }
    leavesNothingElse();
    for (std::size_t i = 0; i < Keys.size(); ++i) {
        const Read after = read(backend, Keys[i]);
        if (Keys[i] == QLatin1String("Text1")) {
            if (after.refused || after.value != folder)
                fuzz::wrong(QStringLiteral("the written folder does not read back"));
        } else if (!before[i].refused && (after.refused || after.value != before[i].value)) {
            fuzz::wrong(QStringLiteral("writing Text1 changed %1 from \"%2\" to \"%3\"")
                            .arg(Keys[i], before[i].value.value_or(QStringLiteral("(absent)")),
                                 after.refused ? QStringLiteral("(refused)")
                                               : after.value.value_or(QStringLiteral("(absent)"))));
        }
    }
    return 0;
}
