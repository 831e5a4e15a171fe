#pragma once

#include "imaging/OutputFormat.h"

#include <QtGlobal>

#include <optional>

class QString;
class QWidget;

// What a capture run needs of the main window. The main window implements it.
class MainWindowLink {
public:
    virtual ~MainWindowLink() = default;
    virtual OutputFormat outputFormat() const = 0; // "JPG" (Option1) when selected, otherwise "BMP"
    virtual QString folderText() const = 0;        // Text1
    virtual int hideFlag() const = 0;              // Check1's value: 0, 1 or 2
    virtual QString applicationTitle() const = 0;
    virtual void showMainWindow() = 0;
    virtual void hideMainWindow() = 0;
    virtual QWidget* widget() = 0;
    // The server time of the latest mouse press on "Start Capturing"; none before the first.
    virtual std::optional<quint64> lastStartPress() const = 0;
};
