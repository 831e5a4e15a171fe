#include "app/StaleCaptures.h"

#include "app/SettingsStore.h"
#include "platform/files/SafeFile.h"
#include "platform/settings/QSettingsBackend.h"

#include <QDir>
#include <QRegularExpression>

#include <chrono>
#include <system_error>
#include <thread>

namespace {

// A save or a settings write that a crash or a power cut interrupted leaves its hidden temporary file behind; one under
// way holds a lock on its file, and one that has not yet taken it is this young at most.
constexpr qint64 StaleAfterSeconds = 60;

// A folder this slow to list (a network folder that stopped answering) is left for another start.
constexpr std::chrono::seconds GiveUpAfter{20};

} // namespace

std::future<int> removeStaleCaptures(const QString& folderText)
{
    std::promise<int> removed;
    std::future<int> result = removed.get_future();
    const auto giveUpAt = std::chrono::steady_clock::now() + GiveUpAfter;
    try {
        // Never joined: the program may end while a dead folder still holds the thread.
        std::thread([folder = folderText, giveUpAt, removed = std::move(removed)]() mutable {
            int count = QSettingsBackend::removeAbandonedCopies(QString::fromLatin1(SettingsApplication),
                                                                StaleAfterSeconds, giveUpAt);
            // Only an absolute folder: a relative one would be looked up in whatever folder the program was started
            // from.
            if (QDir::isAbsolutePath(folder)) {
                // The names a capture is saved under: "Screen Capture mm_dd_yy_hh_nn_ss.jpg" or ".bmp".
                const QRegularExpression captureName(QStringLiteral("Screen Capture \\d\\d(_\\d\\d){5}\\.(jpg|bmp)"));
                count += SafeFile::removeStaleTemporaryFiles(folder, captureName, StaleAfterSeconds, giveUpAt);
            }
            removed.set_value(count);
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the files wait for the next start.
    }
    return result;
}
