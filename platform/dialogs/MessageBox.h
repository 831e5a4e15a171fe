#pragma once

#include <QMessageBox>

// A message box that, like the Windows one, copies its whole content to the clipboard on Ctrl+C:
// the title, the text and the buttons between dashed lines, so that users can paste a report into an e-mail.
class MessageBox : public QMessageBox {
    Q_OBJECT
public:
    MessageBox(QWidget* parent, const QString& title, const QString& text, Icon icon);

    // The text that Ctrl+C puts on the clipboard.
    QString clipboardText() const;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QString m_rawText; // the text as given, with its own line breaks
};
