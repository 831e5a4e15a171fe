#pragma once

#include <QString>

class QIcon;
class QImage;

// The folder that holds the program file (its real location, links resolved), without a trailing separator.
QString programFolder();

// The program's own icon, drawn by the program at every size a desktop asks for (16 to 256 pixels).
// Needs a QGuiApplication.
QIcon programIcon();

// One size of that icon; needs no application object, so build tools can export it.
QImage programIconImage(int size);
