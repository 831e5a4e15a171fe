#pragma once

class QString;
class QWidget;

// Modal boxes and the folder browser. Every call returns once the user has dismissed the window.
class Dialogs {
public:
    enum class Icon { None, Warning };

    virtual ~Dialogs() = default;

    // A box with an OK button only. `parent` may be null (the box then stands on its own).
    virtual void messageBox(QWidget* parent, const QString& title, const QString& text, Icon icon) = 0;

    // The folder browser, modal to `owner`, opened on `startFolder` (nothing preselected when empty).
    // Returns the chosen folder's path as the browser gives it, or an empty text when the user cancelled.
    virtual QString browseForFolder(QWidget* owner, const QString& prompt, const QString& startFolder) = 0;
};
