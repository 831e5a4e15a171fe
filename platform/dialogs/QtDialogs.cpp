#include "platform/dialogs/QtDialogs.h"

#include "platform/dialogs/MessageBox.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

namespace {

// Qt's file dialog in directory mode, as the browse callback sees it.
class FileDialogBrowser final : public FolderBrowserWindow {
public:
    explicit FileDialogBrowser(QFileDialog& dialog)
        : m_dialog(dialog)
    {}
    void setSelection(const QString& path) override
    {
        // A path that names no folder selects nothing, and the dialog stays where it is.
        if (!path.isEmpty() && QFileInfo(path).isDir()) {
            m_dialog.setDirectory(path);
        }
    }
    void setStatusText(const QString&) override {} // the dialog has no status line

private:
    QFileDialog& m_dialog;
};

// The folder the dialog was confirmed on, or an empty text when it names no existing folder. The dialog checks
// this itself on accepting; checking again here keeps anything else from ever passing for a choice.
QString confirmedFolder(const QFileDialog& dialog)
{
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) {
        return {};
    }
    const QString path = QDir::cleanPath(chosen.first()); // no trailing "/", except for the root "/" itself
    const QFileInfo info(path);
    return info.isAbsolute() && info.isDir() ? path : QString();
}

} // namespace

void QtDialogs::messageBox(QWidget* parent, const QString& title, const QString& text, Icon icon)
{
    MessageBox box(parent, title, text, icon == Icon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon);
    box.setCloseWindow(m_closeWindow);
    box.exec();
}

QString QtDialogs::browseForFolder(QWidget* owner, const QString& prompt, const BrowseCallbackFunction& callback)
{
    // The prompt is the dialog's title. Qt's own dialog rather than the desktop's, so that it looks and behaves the
    // same everywhere and only ever offers folders of the file system.
    QFileDialog dialog(owner, prompt);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // The owner takes no input while the dialog is open.
    dialog.setWindowModality(Qt::ApplicationModal);
    // Without a folder from the callback the dialog opens on the home folder, not on wherever Qt's own file
    // dialogs were last used.
    dialog.setDirectory(QDir::homePath());

    FileDialogBrowser browser(dialog);
    if (callback) {
        const auto moved = [&](const QString& path) {
            callback(browser, FolderBrowserWindow::SelectionChanged, QFileInfo(path).isDir() ? path : QString());
        };
        QObject::connect(&dialog, &QFileDialog::currentChanged, &dialog, moved);
        QObject::connect(&dialog, &QFileDialog::directoryEntered, &dialog, moved);
        callback(browser, FolderBrowserWindow::Initialized, QString());
    }
    if (dialog.exec() != QDialog::Accepted) {
        return {};
    }
    return confirmedFolder(dialog);
}
