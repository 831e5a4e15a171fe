#include "platform/dialogs/MessageBox.h"

#include <QAbstractButton>
#include <QApplication>
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
    // Keys go to the button that has the focus before the box sees them.
    qApp->installEventFilter(this);
}

bool MessageBox::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::KeyRelease && type != QEvent::ShortcutOverride) {
        return false;
    }
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || (widget != this && !isAncestorOf(widget))) {
        return false;
    }
    const auto* key = static_cast<QKeyEvent*>(event);
    if (type == QEvent::KeyRelease) {
        m_releasedKey = key->key();
        m_releasedAt = key->timestamp();
        return false;
    }
    const bool isRepeat = key->isAutoRepeat() || (key->key() == m_releasedKey && key->timestamp() == m_releasedAt);
    if (isRepeat) {
        event->accept();
    }
    return isRepeat;
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

void MessageBox::setVisible(bool visible)
{
    // The close hides the box itself, through here again.
    if (!visible && m_closeWindow && isVisible() && !m_isClosing) {
        m_isClosing = true;
        m_closeWindow(*this);
        m_isClosing = false;
        if (!isVisible()) {
            return;
        }
    }
    QMessageBox::setVisible(visible);
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
