#pragma once

#include <QByteArray>
#include <QCursor>
#include <QImage>
#include <QPoint>
#include <QString>

// A pointer image with the point that marks the pointer's position.
struct CursorImage {
    QImage image;
    QPoint hotspot;
};

// Loads a Windows cursor file (.cur) as a pointer with its hotspot. Throws Failure naming the file and what is
// wrong with it when it is not a loadable cursor. Needs a QGuiApplication.
QCursor loadCursorFile(const QString& path);

// The first image of a cursor file's bytes with its hotspot. Every size and offset in the file is checked against
// the file before anything is decoded; `name` is what failures call the file.
CursorImage decodeCursorFile(const QByteArray& bytes, const QString& name);

// A cursor file holding one 32-bit image with alpha (at most 256 x 256) and its hotspot.
QByteArray encodeCursorFile(const QImage& image, QPoint hotspot);

// A cursor file larger than this is not one; it is not read.
inline constexpr qint64 MaxCursorFileSize = qint64{1024} * 1024;
