#include "app/SettingsStore.h"

#include "app/MainModule.h"
#include "platform/dialogs/Dialogs.h"
#include "platform/errors/Failure.h"
#include "platform/settings/SettingsBackend.h"

#include <QLocale>
#include <QRegularExpression>

#include <cmath>
#include <exception>
#include <limits>

namespace {

// A stored value quoted in a message, shortened so that a huge one cannot flood the box.
QString quoted(const QString& text)
{
    constexpr int Longest = 40;
    QString shown = text.size() > Longest ? text.left(Longest) + QStringLiteral("...") : text;
    return QLatin1Char('"') + shown + QLatin1Char('"');
}

// Decimal text, as in "1", " -2 ", "2.5" or "1e3", read the same way whatever the user's locale. A number too large
// for a double comes out as an infinity of its sign.
bool toNumber(const QString& text, double& number)
{
    static const QRegularExpression decimal(QStringLiteral("^[+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?$"));
    const QString trimmed = text.trimmed();
    if (!decimal.match(trimmed).hasMatch()) {
        return false;
    }
    bool ok = false;
    number = QLocale::c().toDouble(trimmed, &ok);
    if (!ok || !std::isfinite(number)) {
        number = trimmed.startsWith(QLatin1Char('-')) ? -HUGE_VAL : HUGE_VAL;
    }
    return true;
}

} // namespace

QString GetSetting(SettingsBackend& backend, const QString& application, const QString& section, const QString& key,
                   const QString& defaultValue)
{
    return backend.read(application, section, key).value_or(defaultValue);
}

void SaveSetting(SettingsBackend& backend, const QString& application, const QString& section, const QString& key,
                 const QString& text)
{
    backend.write(application, section, key, text);
}

bool toBoolean(const QString& text, const QString& key)
{
    const QString word = text.trimmed();
    if (word.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0) {
        return true;
    }
    if (word.compare(QLatin1String("False"), Qt::CaseInsensitive) == 0) {
        return false;
    }
    double number = 0;
    if (!toNumber(word, number)) {
        throw Failure(QStringLiteral("The stored setting \"%1\" is %2, which is neither True, False nor a number")
                          .arg(key, quoted(text)));
    }
    return number != 0;
}

qint16 toCheckState(const QString& text, const QString& key)
{
    double number = 0;
    if (!toNumber(text, number)) {
        throw Failure(QStringLiteral("The stored setting \"%1\" is %2, which is not a number").arg(key, quoted(text)));
    }
    const double whole = std::nearbyint(number); // the current rounding mode: halves to even
    if (whole < std::numeric_limits<qint16>::min() || whole > std::numeric_limits<qint16>::max()) {
        throw Failure(QStringLiteral("The stored setting \"%1\" is %2, which is outside the range of a 16-bit integer")
                          .arg(key, quoted(text)));
    }
    if (whole < 0 || whole > 2) {
        throw Failure(QStringLiteral("The stored setting \"%1\" is %2, which is not a check box state (0, 1 or 2)")
                          .arg(key, quoted(text)));
    }
    return static_cast<qint16>(whole);
}

SettingsStore::SettingsStore(SettingsBackend& backend, Dialogs& dialogs)
    : m_backend(backend)
    , m_dialogs(dialogs)
{}

QString SettingsStore::get(const QString& key, const QString& defaultValue)
{
    m_unreadable = false;
    try {
        return GetSetting(m_backend, QString::fromLatin1(SettingsApplication), QString::fromLatin1(ProductName), key,
                          defaultValue);
    } catch (const UnreadableSettings&) {
        m_unreadable = true;
        throw;
    }
}

void SettingsStore::save(const QString& key, const QString& text)
{
    SaveSetting(m_backend, QString::fromLatin1(SettingsApplication), QString::fromLatin1(ProductName), key, text);
}

bool SettingsStore::holds(const QString& key, const QString& text) noexcept
{
    try {
        return m_backend.read(QString::fromLatin1(SettingsApplication), QString::fromLatin1(ProductName), key) == text;
    } catch (...) {
        return false;
    }
}

void SettingsStore::saveFromHandler(QWidget* parent, const QString& title, const QString& key, const QString& text)
{
    QString description;
    try {
        save(key, text);
        m_toldWriteFailure.clear();
        return;
    } catch (const Failure& failure) {
        description = failure.description();
    } catch (const std::exception& error) {
        description = QString::fromLocal8Bit(error.what());
    }
    // A folder typed into a store that cannot be written would otherwise bring a box at every keystroke.
    if (description == m_toldWriteFailure) {
        return;
    }
    m_toldWriteFailure = description;
    m_dialogs.messageBox(parent, title,
                         QStringLiteral("Your settings cannot be saved.\r\n") + description +
                             QStringLiteral("\r\n\r\nThe tool goes on with the options as the window shows them, but "
                                            "this change is not in the settings file, and the next start shows what "
                                            "the file holds. Changes refused for the same reason are not told again "
                                            "until one is stored."),
                         Dialogs::Icon::Warning);
}

void SettingsStore::tellUnreadable(QWidget* parent, const QString& title, const QString& description)
{
    m_dialogs.messageBox(parent, title,
                         QStringLiteral("Your settings cannot be read.\r\n") + description +
                             QStringLiteral("\r\n\r\nThe options start unset, and no change is written over the "
                                            "file while it cannot be read."),
                         Dialogs::Icon::Warning);
}
