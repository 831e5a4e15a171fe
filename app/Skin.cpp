#include "app/Skin.h"

#include "platform/errors/Failure.h"
#include "platform/files/RegularFile.h"

#include <QCheckBox>
#include <QColor>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPalette>
#include <QRadioButton>
#include <QStringDecoder>
#include <QStringList>
#include <QWidget>

#include <algorithm>

namespace {

QStringList* parseWarnings = nullptr;

void collectWarning(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (parseWarnings && type == QtWarningMsg && message.contains(QLatin1String("parse"))) {
        parseWarnings->append(message);
    }
}

// Qt has no public style sheet parser; it warns when a widget's sheet does not parse. A throwaway widget is polished
// with the sheet while those warnings are collected.
bool qtParses(const QString& sheet)
{
    QStringList warnings;
    parseWarnings = &warnings;
    const QtMessageHandler previous = qInstallMessageHandler(collectWarning);
    {
        QWidget probe;
        probe.setStyleSheet(sheet);
        probe.ensurePolished();
    }
    qInstallMessageHandler(previous);
    parseWarnings = nullptr;
    return warnings.isEmpty();
}

bool isTextCharacter(QChar c)
{
    return c.category() != QChar::Other_Control || c == QLatin1Char('\t') || c == QLatin1Char('\n') ||
           c == QLatin1Char('\r') || c == QLatin1Char('\f');
}

} // namespace

QString readSkinFile(const QString& path)
{
    const QString name = QDir::toNativeSeparators(path);
    const RegularFileRead file = readRegularFile(path, MaxSkinFileSize);
    if (file.status == RegularFileRead::Status::TooLarge) {
        throw Failure(QStringLiteral("The skin %1 is too large (%2 bytes; a skin has at most %3)")
                          .arg(name)
                          .arg(file.size)
                          .arg(MaxSkinFileSize));
    }
    if (file.status != RegularFileRead::Status::Read) {
        throw Failure(readFailureText(path, file));
    }
    const QByteArray& bytes = file.bytes;

    QStringDecoder decoder(QStringDecoder::Utf8);
    QString sheet = decoder(bytes);
    if (decoder.hasError() || !std::all_of(sheet.cbegin(), sheet.cend(), isTextCharacter)) {
        throw Failure(QStringLiteral("The skin %1 is not a text file").arg(name));
    }
    if (sheet.trimmed().isEmpty()) {
        throw Failure(QStringLiteral("The skin %1 is empty").arg(name));
    }
    if (!qtParses(sheet)) {
        throw Failure(QStringLiteral("The skin %1 is not a valid style sheet").arg(name));
    }
    return sheet;
}

QColor buttonFaceColor()
{
    return QGuiApplication::palette().color(QPalette::Active, QPalette::Button);
}

void setBackColor(QWidget& widget, const QColor& color)
{
    QPalette palette = widget.palette();
    // Buttons of every kind fill their background with the button role, other widgets with the window role.
    palette.setColor(widget.backgroundRole(), color);
    widget.setPalette(palette);
    widget.setAutoFillBackground(true);
}

void ApplySkin(QWidget& window, const QString& programFolder)
{
    const QString path = programFolder + QLatin1Char('/') + QLatin1String(SkinFileName);
    const QFileInfo skin(path);
    // Only a normal file counts: a hidden one (a dot-file here), a folder or a broken link is not listed.
    if (QDir(skin.absolutePath()).entryList({skin.fileName()}, QDir::Files | QDir::CaseSensitive).isEmpty()) {
        return;
    }

    const QColor face = buttonFaceColor();
    setBackColor(window, face);
    for (QWidget* control : window.findChildren<QWidget*>()) {
        if (qobject_cast<QRadioButton*>(control) || qobject_cast<QCheckBox*>(control) ||
            qobject_cast<QGroupBox*>(control) || qobject_cast<QLabel*>(control)) {
            setBackColor(*control, face);
        }
    }
    // The window and its controls have fixed places and sizes; a skin restyles them but never resizes them (a
    // min-width in a style sheet would, up to sizes whose backing store cannot be allocated).
    const QString sheet = readSkinFile(path);
    QList<QPair<QWidget*, QSize>> sizes{{&window, window.size()}};
    for (QWidget* control : window.findChildren<QWidget*>()) {
        sizes.append({control, control->size()});
    }
    window.setStyleSheet(sheet);
    window.ensurePolished(); // sizes from the sheet are applied here
    for (const auto& [widget, size] : sizes) {
        if (widget->size() != size) {
            widget->setFixedSize(size);
        }
    }
    window.setFixedSize(sizes.first().second);
}

int nextMousePointer(int current, bool overButton)
{
    if (current == MousePointer::Hourglass) {
        return current;
    }
    return overButton ? MousePointer::Custom : MousePointer::Default;
}
