#pragma once

#include <functional>

class QString;
class QWidget;

// The folder browser while it is open, as its callback sees it.
class FolderBrowserWindow {
public:
    // What the browser tells its callback.
    enum Message {
        Initialized = 1,      // the browser has opened
        SelectionChanged = 2, // the selection moved; the path names the newly selected folder
    };

    virtual ~FolderBrowserWindow() = default;

    // Moves the selection to `path`: the browser then shows that folder. A path that names no folder selects
    // nothing.
    virtual void setSelection(const QString& path) = 0;
    // The text of the browser's status line; the browser has none, so it is not shown.
    virtual void setStatusText(const QString& text) = 0;
};

// Called by the browser while it is open, on the GUI thread, with a message and, for SelectionChanged, the path of
// the selected folder (empty when the selection is no file-system folder). Must not throw: it runs inside the
// browser's event loop.
using BrowseCallbackFunction = std::function<int(FolderBrowserWindow& browser, int message, const QString& path)>;

// Modal boxes and the folder browser. Every call returns once the user has dismissed the window.
class Dialogs {
public:
    enum class Icon { None, Warning };

    virtual ~Dialogs() = default;

    // A box with an OK button only. `parent` may be null (the box then stands on its own).
    virtual void messageBox(QWidget* parent, const QString& title, const QString& text, Icon icon) = 0;

    // The folder browser, modal to `owner`, with `prompt` shown to the user. Only existing file-system folders can
    // be confirmed. `callback` is told when the browser has opened (it then picks the folder to open on) and each
    // time the selection moves. Returns the chosen folder's path as the browser gives it, or an empty text when the
    // user cancelled.
    virtual QString browseForFolder(QWidget* owner, const QString& prompt, const BrowseCallbackFunction& callback) = 0;
};
