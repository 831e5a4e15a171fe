#pragma once

#include <qnamespace.h>

class CheckBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QWidget;

// The main window's frame: a title bar with its menu, minimise and close buttons; no maximise, no resizing.
inline constexpr Qt::WindowFlags MainWindowFlags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                                                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint;

// The main window's controls as the window's table draws them: captions, fonts, colours, object names, places and
// the tab order. Places are given in twips and drawn at the screen's logical DPI.
struct MainWindowControls {
    QGroupBox* Frame1 = nullptr;
    QRadioButton* Option1 = nullptr; // "JPG"
    QRadioButton* Option2 = nullptr; // "BMP"
    QGroupBox* Frame2 = nullptr;
    QLineEdit* Text1 = nullptr;
    QPushButton* PushButton4 = nullptr;
    QGroupBox* Frame3 = nullptr;
    CheckBox* Check1 = nullptr;
    QPushButton* PushButton1 = nullptr;
    QLineEdit* Text2 = nullptr; // out of sight below the client area; holds the focus when the window opens
};

// Sizes `window` and creates its controls as its children; nothing is connected yet.
MainWindowControls createMainWindowControls(QWidget& window, double logicalDpiX, double logicalDpiY);
