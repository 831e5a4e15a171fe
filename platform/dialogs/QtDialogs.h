#pragma once

#include "platform/dialogs/Dialogs.h"

#include <functional>
#include <utility>

// Dialogs drawn by Qt itself, so that they behave the same on every desktop.
class QtDialogs final : public Dialogs {
public:
    void messageBox(QWidget* parent, const QString& title, const QString& text, Icon icon) override;
    QString browseForFolder(QWidget* owner, const QString& prompt, const BrowseCallbackFunction& callback) override;

    // How an answered message box leaves the screen (see MessageBox::setCloseWindow); by default a plain hide.
    void closeBoxesWith(std::function<void(QWidget&)> closeWindow) { m_closeWindow = std::move(closeWindow); }

private:
    std::function<void(QWidget&)> m_closeWindow;
};
