#pragma once

#include "platform/Dialogs.h"

#include <QString>
#include <QStringList>

#include <functional>

// Answers every box at once and records what was shown.
class FakeDialogs final : public Dialogs {
public:
    struct Box {
        QString title;
        QString text;
        Icon icon;
    };
    QList<Box> boxes;
    QStringList browsePrompts;
    QStringList browseStarts;
    QString browseAnswer;                   // what the browser returns
    std::function<void()> onBrowse;         // runs inside the browse call (may throw)
    std::function<void(const Box&)> onBox;  // runs inside each box

    void messageBox(QWidget*, const QString& title, const QString& text, Icon icon) override
    {
        boxes.append({title, text, icon});
        if (onBox)
            onBox(boxes.last());
    }
    QString browseForFolder(QWidget*, const QString& prompt, const QString& startFolder) override
    {
        browsePrompts.append(prompt);
        browseStarts.append(startFolder);
        if (onBrowse)
            onBrowse();
        return browseAnswer;
    }
};
