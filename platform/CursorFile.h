#pragma once

#include <QCursor>
#include <QString>

// Loads a Windows cursor file (.cur) as a pointer with its hotspot. Throws Failure naming the file and what is
// wrong with it when it is not a loadable cursor.
QCursor loadCursorFile(const QString& path);
