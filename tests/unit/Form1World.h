#pragma once

#include "app/CheckBox.h"
#include "app/Form1.h"
#include "app/MainWindowControls.h"
#include "fakes/FakeDialogs.h"
#include "fakes/FakeMainWindow.h"
#include "fakes/FakeServices.h"
#include "platform/errors/ErrorReport.h"
#include "platform/files/CursorFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <memory>
#include <optional>

// What the main window's tests share: the fakes and the window over them, and its controls found by name.

inline const QString Section = QStringLiteral("Korvane/Ostrafen Mirel Tasko Vendry Quosh/");
inline const QString Load = QString::fromLatin1(Location::Form1_Form_Load);

// The window's control of that name and kind; the test ends at once where there is none.
template <class Control> Control* control(const QWidget& window, const char* name)
{
    auto* found = window.findChild<Control*>(QLatin1String(name));
    if (!found)
        qFatal("The window has no control named %s", name);
    return found;
}

// The controls by the object names they show to skins and tools.
inline MainWindowControls controlsOf(const QWidget& window)
{
    MainWindowControls c;
    c.Frame1 = control<QGroupBox>(window, "Frame1");
    c.Option1 = control<QRadioButton>(window, "Option1");
    c.Option2 = control<QRadioButton>(window, "Option2");
    c.Frame2 = control<QGroupBox>(window, "Frame2");
    c.Text1 = control<QLineEdit>(window, "Text1");
    c.PushButton4 = control<QPushButton>(window, "PushButton4");
    c.Frame3 = control<QGroupBox>(window, "Frame3");
    c.Check1 = control<CheckBox>(window, "Check1");
    c.PushButton1 = control<QPushButton>(window, "PushButton1");
    c.Text2 = control<QLineEdit>(window, "Text2");
    return c;
}

// The fakes, a program folder of its own, and the main window over them.
struct World : FakeCaptureServices {
    std::unique_ptr<Form1> form;
    MainWindowControls controls; // the window's, found by their names
    int ends = 0;

    void store(const QString& key, const QString& value) { settings.values.insert(Section + key, value); }
    std::optional<QString> stored(const QString& key) const
    {
        const auto found = settings.values.find(Section + key);
        return found == settings.values.end() ? std::nullopt : std::optional<QString>(*found);
    }
    void putFile(const QString& name, const QByteArray& bytes)
    {
        const QString path = programFolder.filePath(name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    Form1& load()
    {
        form = std::make_unique<Form1>(services);
        form->setProcessEnd([this] { ++ends; });
        form->Form_Load();
        controls = controlsOf(*form);
        return *form;
    }
    QStringList reports() const
    {
        QStringList texts;
        for (const FakeDialogs::Box& box : dialogs.boxes)
            texts << box.text;
        return texts;
    }
};

inline QByteArray handCursorBytes()
{
    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(qRgba(255, 255, 255, 255));
    return encodeCursorFile(image, QPoint(12, 1));
}
