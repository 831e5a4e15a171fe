#pragma once

#include <QString>
#include <QtGlobal>

class Dialogs;
class SettingsBackend;
class QWidget;

// Every setting of the tool lives under this application (the file) and the product name as its section.
inline constexpr const char* SettingsApplication = "Korvane";

// The stored text of the key, even when it is empty; the default when the key is absent. Throws Failure when the
// store cannot be read.
QString GetSetting(SettingsBackend& backend, const QString& application, const QString& section, const QString& key,
                   const QString& defaultValue);

// Creates or overwrites the key; the text is on disk when this returns. Throws Failure when it is not.
void SaveSetting(SettingsBackend& backend, const QString& application, const QString& section, const QString& key,
                 const QString& text);

// "True" or "False" in any letter case, or a number (zero is false). Throws Failure naming the key otherwise.
bool toBoolean(const QString& text, const QString& key);

// A check box value from numeric text: rounded to a whole number (halves to even), which must fit 16 bits and be
// 0, 1 or 2. Throws Failure naming the key otherwise.
qint16 toCheckState(const QString& text, const QString& key);

// The tool's own settings, and what happens when the change handlers cannot store one.
class SettingsStore {
public:
    SettingsStore(SettingsBackend& backend, Dialogs& dialogs);

    // GetSetting and SaveSetting in the tool's section.
    QString get(const QString& key, const QString& defaultValue);
    // Whether the last get() found the store as a whole unreadable: then nothing that is stored can be known, and
    // neither a default nor what the controls show may stand for it.
    bool isUnreadable() const { return m_unreadable; }
    void save(const QString& key, const QString& text);

    // Whether the key is stored with exactly this text. Never throws: a store that cannot be read holds nothing.
    bool holds(const QString& key, const QString& text) noexcept;

    // For the change handlers, which have no error report of their own. A refused write is told in a box titled
    // `title`; a later one refused for the same reason is not, until a write has been stored again. The tool goes on
    // with the value in its control. Never throws.
    void saveFromHandler(QWidget* parent, const QString& title, const QString& key, const QString& text);

    // Tells the user, in a box titled `title`, that the store as a whole cannot be read (`description`, which names
    // the file): a fault of the file, not of the program.
    void tellUnreadable(QWidget* parent, const QString& title, const QString& description);

private:
    SettingsBackend& m_backend;
    Dialogs& m_dialogs;
    QString m_toldWriteFailure; // the reason last told, until a write is stored
    bool m_unreadable = false;
};
