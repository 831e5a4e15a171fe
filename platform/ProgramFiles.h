#pragma once

#include <QString>

class QIcon;

// The folder that holds the program file (its real location, links resolved), without a trailing separator.
QString programFolder();

// The program's own icon, drawn by the program at every size a desktop asks for (16 to 256 pixels).
QIcon programIcon();
