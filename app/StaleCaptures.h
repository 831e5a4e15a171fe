#pragma once

#include <QString>

#include <future>

// Removes, on a thread of its own, the hidden temporary files that captures cut short by a crash or a power cut left
// in the output folder `folderText` (only an absolute one), and the copies that settings writes cut short left beside
// the settings file. Returns at once with how many were removed to come: a large folder or one that does not answer
// keeps that thread busy, never the caller.
std::future<int> removeStaleCaptures(const QString& folderText);
