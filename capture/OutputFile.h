#pragma once

class QDateTime;
class QString;

// The capture's file name from the local time: "Screen Capture mm_dd_yy_hh_nn_ss" and `extension` (".jpg" or
// ".bmp"), every field two digits, the hour on the 24-hour clock.
QString captureFileName(const QDateTime& time, const QString& extension);

// The folder text and the name joined by one "/"; none is added when the folder text already ends in one.
QString capturePath(const QString& folderText, const QString& name);
