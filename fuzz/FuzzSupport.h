#pragma once

// What every fuzz target needs around the reader it drives: a Qt application on the offscreen platform, quiet
// warnings, a scratch folder, and a way to stop on a wrong result so that libFuzzer keeps the input.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

namespace fuzz {

// Qt's warnings about odd input are expected by the thousand; only a fatal message is worth seeing.
inline void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtFatalMsg)
        std::fprintf(stderr, "Qt fatal: %s\n", qPrintable(message));
}

// Creates the application once for the whole run: QApplication for readers that touch widgets, QGuiApplication for
// those that need pixmaps and cursors. It lives until the process ends.
template <typename Application> void startQt()
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        static QTemporaryDir runtime(QDir::tempPath() + QStringLiteral("/quosh-fuzz-runtime-XXXXXX"));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    }
    qInstallMessageHandler(quietMessages);
    static int argc = 1;
    static char name[] = "quosh-fuzz";
    static char* argv[] = {name, nullptr};
    static Application* application = new Application(argc, argv);
    Q_UNUSED(application);
}

// A folder for the files a target writes, in memory where the system offers it, so that the run is not held up by
// the disk; removed when the run ends normally.
inline const QString& scratchFolder()
{
    static const QString path = [] {
        // scripts/fuzz.sh names a folder that it removes itself: a crash ends the run before ours is removed.
        QString base = qEnvironmentVariable("QUOSH_FUZZ_SCRATCH");
        if (base.isEmpty())
            base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        static QTemporaryDir folder(base + QStringLiteral("/quosh-fuzz-XXXXXX"));
        if (!folder.isValid()) {
            std::fprintf(stderr, "Cannot create a scratch folder under %s\n", qPrintable(base));
            std::abort();
        }
        return folder.path();
    }();
    return path;
}

// A reader gave a plainly wrong result for this input: stop, so that libFuzzer saves it as a crash.
[[noreturn]] inline void wrong(const QString& what)
{
    std::fprintf(stderr, "Wrong result: %s\n", qPrintable(what));
    std::abort();
}

} // namespace fuzz
