#pragma once

#include "platform/dialogs/Dialogs.h"

// Dialogs drawn by Qt itself, so that they behave the same on every desktop.
class QtDialogs final : public Dialogs {
public:
    void messageBox(QWidget* parent, const QString& title, const QString& text, Icon icon) override;
    QString browseForFolder(QWidget* owner, const QString& prompt, const BrowseCallbackFunction& callback) override;
};
