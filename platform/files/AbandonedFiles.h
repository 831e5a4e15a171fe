#pragma once

#include <QByteArrayView>
#include <QString>

#include <chrono>
#include <functional>

// Removes from `folder` what a write cut short by a crash, a kill or a power cut left there: the entries whose names
// `isLeftByUs` accepts, when they are regular files of this user (never through a link), last changed at least
// `minimumAgeSeconds` ago, and nobody holds a lock (flock) on them: a write under way, however slow, locks
// its file, and one that has not taken its lock yet is younger than that. Anything else is left alone. Stops looking
// at `giveUpAt`. Returns how many were removed; never throws. Safe to call on any thread.
int removeAbandonedFiles(const QString& folder, const std::function<bool(QByteArrayView name)>& isLeftByUs,
                         qint64 minimumAgeSeconds, std::chrono::steady_clock::time_point giveUpAt) noexcept;
