#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

struct FileIdentity;

// The picture file a screenshot portal hands back: where it is, how large it says it is, its pixels, and its removal
// once read. The portal saves it wherever its desktop saves screenshots (a temporary folder, or the user's pictures
// on GNOME and KDE), and it holds the whole desktop, so it must not stay there.

// The local path a `file:` URI names ("file:///tmp/a.png", "file://localhost/tmp/a.png"); empty for any other URI,
// a file on another host included.
QString localPathOfUri(const QString& uri);

// The size the picture's header declares, read without decoding it; invalid when the header cannot be read.
QSize declaredPictureSize(const QByteArray& bytes);

// The pixels, decoded once as 32-bit BGRX (or ARGB, whose alpha stands where X would). A null image when the bytes
// are not a picture that can be read; `error` then says why.
QImage decodePicture(QByteArray bytes, QString* error);

// Removes `path` when it is still the file that was read as `read` (a regular file: the reader takes nothing else),
// not a link to it, this user's, and written between `requestedNs` and `answeredNs` (nanoseconds since the epoch, with
// one second of slack on either side for file systems with coarse time stamps). Nothing else is touched. True when it
// was removed.
bool removePortalPicture(const QString& path, const FileIdentity& read, qint64 requestedNs, qint64 answeredNs);
