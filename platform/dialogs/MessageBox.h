#pragma once

#include <QMessageBox>

#include <functional>
#include <utility>

// A message box that, like the Windows one, copies its whole content to the clipboard on Ctrl+C:
// the title, the text and the buttons between dashed lines, so that users can paste a report into an e-mail.
// A key that was held down before the box appeared does not press its button: the X server repeats a key that a
// tool pressed and never released (some accessibility and scripting tools send a press alone), and each repeat
// would close the box the moment it is shown.
class MessageBox : public QMessageBox {
    Q_OBJECT
public:
    MessageBox(QWidget* parent, const QString& title, const QString& text, Icon icon);

    // The text that Ctrl+C puts on the clipboard.
    QString clipboardText() const;

    // How the box leaves the screen when it is answered, where the windowing system wants more than a plain hide:
    // a compositor that fades a closing window out would otherwise leave it fading over the screen that a capture
    // started at once would take.
    void setCloseWindow(std::function<void(QWidget&)> closeWindow) { m_closeWindow = std::move(closeWindow); }

    // Every way of answering the box (a button, Escape, the window's close) ends in a hide.
    void setVisible(bool visible) override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QString m_rawText; // the text as given, with its own line breaks
    std::function<void(QWidget&)> m_closeWindow;
    bool m_isClosing = false;
    // The last key released in the box and when, in the window system's milliseconds: a repeat is a release and a
    // press of the same key at the same time.
    int m_releasedKey = 0;
    quint64 m_releasedAt = 0;
};
