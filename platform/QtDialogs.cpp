#include "platform/QtDialogs.h"

#include "platform/MessageBox.h"

#include <QDir>
#include <QFileDialog>

void QtDialogs::messageBox(QWidget* parent, const QString& title, const QString& text, Icon icon)
{
    MessageBox box(parent, title, text, icon == Icon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon);
    box.exec();
}

QString QtDialogs::browseForFolder(QWidget* owner, const QString& prompt, const QString& startFolder)
{
    QFileDialog dialog(owner, prompt);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (!startFolder.isEmpty())
        dialog.setDirectory(startFolder);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? QString() : QDir::cleanPath(chosen.first());
}
