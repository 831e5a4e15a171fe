#pragma once

#include <QString>

class QIcon;
class QImage;

// The folder that holds the program file (its real location, links resolved), without a trailing separator.
QString programFolder();

inline constexpr int MaxProgramIconSize = 256;
// The sizes a window starts with: what its frame and the task bar show. Handing a window every size when it is made
// costs milliseconds, most of them for the two largest; a window gets those once it is on the screen.
inline constexpr int FirstProgramIconSize = 64;

// The program's own icon, offered at the sizes a desktop asks for, from 16 up to `largestSize` pixels (at most
// MaxProgramIconSize); each size is drawn when it is first asked for and kept for the whole process. A window's
// platform counterpart takes every offered size when it is created: a window can start with the small sizes that
// its frame and task bar show, and get the larger ones later. Needs a QGuiApplication.
QIcon programIcon(int largestSize = MaxProgramIconSize);

// One size of that icon; needs no application object, so build tools can export it.
QImage programIconImage(int size);
