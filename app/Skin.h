#pragma once

#include <QString>

class QColor;
class QWidget;

// The skin file, relative to the program's folder: a Qt style sheet.
inline constexpr const char* SkinFileName = "x/o.cjs";

// A skin file larger than this is not one; it is not read.
inline constexpr qint64 MaxSkinFileSize = qint64{1024} * 1024;

// When the program's folder holds the skin file as a normal (not hidden) file: gives the window and its frames,
// option buttons, check boxes and labels the button-face colour, then applies the skin to the window. Throws
// Failure when the skin cannot be read or is not a valid style sheet; what was done before stays done.
void ApplySkin(QWidget& window, const QString& programFolder);

// The skin file's text. Throws Failure naming the file when it is empty, too large, not UTF-8 text or not a style
// sheet that Qt can parse.
QString readSkinFile(const QString& path);

// The system's button-face colour.
QColor buttonFaceColor();

// Fills the widget's background with `color`.
void setBackColor(QWidget& widget, const QColor& color);

// The main window's pointer kinds.
namespace MousePointer {
inline constexpr int Default = 0;
inline constexpr int Hourglass = 11;
inline constexpr int Custom = 99; // the hand, when it was loaded
} // namespace MousePointer

// The pointer kind after a mouse move over the window's background or a frame (`overButton` false) or over a push
// button: the hourglass stays; otherwise the default arrow, or over a button the custom pointer.
int nextMousePointer(int current, bool overButton);
