#include "platform/dialogs/MessageBox.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>

namespace {

// The label shows CR LF, CR and LF alike as one line break.
QString displayText(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

} // namespace

MessageBox::MessageBox(QWidget* parent, const QString& title, const QString& text, Icon icon)
    : QMessageBox(icon, title, displayText(text), QMessageBox::Ok, parent)
    , m_rawText(text)
{
    setTextFormat(Qt::PlainText);
    setTextInteractionFlags(Qt::NoTextInteraction);
}

QString MessageBox::clipboardText() const
{
    const QString separator = QStringLiteral("---------------------------\n");
    QString buttons;
    for (const QAbstractButton* button : this->buttons()) {
        buttons += button->text().remove(QLatin1Char('&')) + QStringLiteral("   ");
    }
    return separator + windowTitle() + QLatin1Char('\n') + separator + m_rawText + QLatin1Char('\n') + separator +
           buttons + QLatin1Char('\n') + separator;
}

void MessageBox::keyPressEvent(QKeyEvent* event)
{
    if (event->matches(QKeySequence::Copy)) {
        QGuiApplication::clipboard()->setText(clipboardText());
        event->accept();
        return;
    }
    QMessageBox::keyPressEvent(event);
}
