#pragma once

#include "platform/dialogs/Dialogs.h"
#include "platform/errors/Failure.h"

#include <QString>
#include <QStringList>

#include <functional>

// A folder browser that records what its callback asked of it; `failing` makes its calls throw.
class FakeBrowserWindow final : public FolderBrowserWindow {
public:
    QStringList selections;
    QStringList statusTexts;
    bool failing = false;
    void setSelection(const QString& path) override
    {
        if (failing)
            throw Failure(QStringLiteral("Browser gone"));
        selections.append(path);
    }
    void setStatusText(const QString& text) override
    {
        if (failing)
            throw Failure(QStringLiteral("Browser gone"));
        statusTexts.append(text);
    }
};

// Answers every box at once and records what was shown. The browser tells its callback that it has opened, runs
// `onBrowse` (which may move the selection or throw) and answers `browseAnswer`.
class FakeDialogs final : public Dialogs {
public:
    struct Box {
        QString title;
        QString text;
        Icon icon;
    };
    QList<Box> boxes;
    QStringList browsePrompts;
    QStringList browseStarts; // where the callback moved each browser on opening ("" for nowhere)
    QString browseAnswer;     // what the browser returns
    FakeBrowserWindow browser;
    BrowseCallbackFunction callback;       // the callback of the browser that is open
    std::function<void()> onBrowse;        // runs inside the browse call (may throw)
    std::function<void(const Box&)> onBox; // runs inside each box

    void messageBox(QWidget*, const QString& title, const QString& text, Icon icon) override
    {
        boxes.append({title, text, icon});
        if (onBox)
            onBox(boxes.last());
    }
    QString browseForFolder(QWidget*, const QString& prompt, const BrowseCallbackFunction& browseCallback) override
    {
        browsePrompts.append(prompt);
        callback = browseCallback;
        const qsizetype before = browser.selections.size();
        if (callback)
            callback(browser, FolderBrowserWindow::Initialized, QString());
        browseStarts.append(browser.selections.size() > before ? browser.selections.last() : QString());
        if (onBrowse)
            onBrowse();
        callback = nullptr;
        return browseAnswer;
    }
};
