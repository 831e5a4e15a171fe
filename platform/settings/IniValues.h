#pragma once

#include <QByteArray>
#include <QStringList>

// Values that QSettings would turn into objects of other types while it reads an INI file: "@Variant(...)" and
// "@DateTime(...)" are deserialised from binary data, which can make Qt allocate without bound from a few bytes,
// and "@ByteArray(...)" is taken as bytes. Text values never take these forms: QSettings writes a text that starts
// with "@" as "@@...".
//
// Returns the file with each such value replaced by TypedValueMark, so that QSettings can read the rest of it
// without decoding anything of the kind. `keys` receives the keys (as written in the file) whose values were
// replaced. Lines, quotes, escapes and lists are split the way QSettings splits them.
QByteArray withoutTypedValues(const QByteArray& file, QStringList* keys = nullptr);

// The number (from 1) of the first line that QSettings would not write back when it rewrites the file: a comment,
// text that is neither a section nor a key with "=", or a key given again in its section. 0 when there is none.
qsizetype firstUnkeptLine(const QByteArray& file);

// What a replaced value reads as: a single unpaired surrogate, which no text that QSettings writes can hold.
inline constexpr char16_t TypedValueMark = 0xd800;
