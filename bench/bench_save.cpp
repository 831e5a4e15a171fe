// Cost of saving a capture: from mouse-up (the clip of a full-screen region) to the file closed and in place,
// beside the JPEG encoder alone on the same pixels, against the goal for the folder's kind of file system (tmpfs, or
// a disk where the flush counts); and the peak memory of one 3840x2160 capture over idle.
// Needs no display: the picture is a synthetic screen. Usage: bench_save [runs] [folder]; run.sh runs it.
#include "bench/SyntheticScreen.h"
#include "bench/Timing.h"
#include "capture/PicClip.h"
#include "imaging/BmpWriter.h"
#include "imaging/Picture.h"
#include "imaging/SaveAsJPG.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <turbojpeg.h>
#include <unistd.h>

namespace {

// Pixels that belong to someone else: lets every run hand the overlay's picture over to the clip, as the overlay
// does, while the synthetic screen is made only once.
class BorrowedStorage final : public PixelStorage {
public:
    explicit BorrowedStorage(std::uint8_t* bits)
        : m_bits(bits)
    {}
    std::uint8_t* data() override { return m_bits; }

private:
    std::uint8_t* m_bits;
};

// What the overlay does on mouse-up with a region of the whole screen: hands its picture to the clip.
std::unique_ptr<Picture> clipWhole(std::unique_ptr<Picture> screen)
{
    PicClip clip;
    clip.setPicture(screen.get());
    clip.ClipX = 0;
    clip.ClipY = 0;
    clip.ClipWidth = static_cast<qint16>(screen->width());
    clip.ClipHeight = static_cast<qint16>(screen->height());
    return clip.Clip(screen);
}

std::unique_ptr<Picture> clipWhole(Picture& screen)
{
    PixelBuffer& bitmap = screen.bitmap();
    return clipWhole(
        std::make_unique<Picture>(PixelBuffer(bitmap.width(), bitmap.height(), bitmap.format(), bitmap.stride(),
                                              std::make_unique<BorrowedStorage>(bitmap.bits())),
                                  screen.palette()));
}

struct TjHandleDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};
struct TjBufferDeleter {
    void operator()(unsigned char* buffer) const { tjFree(buffer); }
};

// The encoder alone: handle and worst-case output buffer made beforehand, only tjCompress2 is timed.
class EncoderAlone {
public:
    explicit EncoderAlone(const Picture& picture)
        : m_picture(picture)
        , m_handle(tjInitCompress())
        , m_capacity(tjBufSize(picture.width(), picture.height(), TJSAMP_444))
        , m_buffer(tjAlloc(static_cast<int>(m_capacity)))
    {}
    const unsigned char* output() const { return m_buffer.get(); }
    unsigned long run()
    {
        unsigned char* out = m_buffer.get();
        unsigned long size = m_capacity;
        if (tjCompress2(m_handle.get(), m_picture.bitmap().bits(), m_picture.width(), m_picture.bitmap().stride(),
                        m_picture.height(), TJPF_BGRX, &out, &size, TJSAMP_444, 100, TJFLAG_NOREALLOC) != 0) {
            std::fprintf(stderr, "tjCompress2: %s\n", tjGetErrorStr2(m_handle.get()));
            std::exit(1);
        }
        return size;
    }

private:
    const Picture& m_picture;
    std::unique_ptr<void, TjHandleDeleter> m_handle;
    unsigned long m_capacity;
    std::unique_ptr<unsigned char, TjBufferDeleter> m_buffer;
};

long statusKiB(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(static_cast<qsizetype>(std::strlen(field))).trimmed().split(' ').front().toLong();
    return -1;
}

// Writing 5 to clear_refs starts the peak resident size (VmHWM) again from the current one.
bool resetPeak()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    return refs.open(QIODevice::WriteOnly) && refs.write("5") == 1;
}

void measureMemory(const QString& folder, bool jpeg)
{
    const int width = 3840;
    const int height = 2160;
    if (!resetPeak()) {
        std::printf("peak memory: cannot reset VmHWM (/proc/self/clear_refs), skipped\n");
        return;
    }
    const long idle = statusKiB("VmRSS:");
    QString path;
    {
        auto screen = std::make_unique<Picture>(bench::syntheticScreen(width, height)); // stands for the grab
        const std::unique_ptr<Picture> region = clipWhole(std::move(screen));
        path = jpeg ? SavePictureAsJpeg(*region, folder + QStringLiteral("/memory.jpg"), 100)
                    : SavePicture(*region, folder + QStringLiteral("/memory.bmp"));
    }
    const long peak = statusKiB("VmHWM:");
    const double frameMiB = width * height * 4 / 1048576.0;
    const double overIdle = (peak - idle) / 1024.0;
    const double goal = 2 * frameMiB + 10;
    std::printf("peak memory %s %dx%d: idle %.1f MiB, peak %.1f MiB, over idle %.1f MiB; goal <= %.1f MiB "
                "(2 x %.1f MiB frame + 10 MiB): %s\n",
                jpeg ? "JPEG" : "BMP ", width, height, idle / 1024.0, peak / 1024.0, overIdle, goal, frameMiB,
                overIdle <= goal ? "met" : "MISSED");
    QFile::remove(path);
}

void measureSpeed(const QString& folder, bool onTmpfs, int width, int height, int runs)
{
    Picture screen = bench::syntheticScreen(width, height);
    EncoderAlone encoder(screen);
    const QString jpegPath = folder + QStringLiteral("/capture.jpg");
    const QString bmpPath = folder + QStringLiteral("/capture.bmp");
    unsigned long jpegBytes = 0;

    const auto saveJpeg = [&] {
        const std::unique_ptr<Picture> region = clipWhole(screen);
        SavePictureAsJpeg(*region, jpegPath, 100);
    };
    const auto saveBmp = [&] {
        const std::unique_ptr<Picture> region = clipWhole(screen);
        SavePicture(*region, bmpPath);
    };
    // Warm-up, then the three alternate so that drift in the machine's speed hits them alike. The files are
    // removed between runs, outside the timing, so that every save takes the plain name.
    jpegBytes = encoder.run();
    saveJpeg();
    QFile jpegFile(jpegPath);
    const bool identical =
        jpegFile.open(QIODevice::ReadOnly) &&
        jpegFile.readAll() ==
            QByteArray::fromRawData(reinterpret_cast<const char*>(encoder.output()), static_cast<qsizetype>(jpegBytes));
    jpegFile.close();
    QFile::remove(jpegPath);
    // What the file itself costs, apart: the same JPEG bytes written to a new file after encoding, the write and
    // the flush timed one by one; what the save would pay on top of the encoder if it did not overlap them.
    const QByteArray filePath = QFile::encodeName(folder + QStringLiteral("/apart.jpg"));
    std::vector<double> writeTimes, flushTimes;
    const auto fileApart = [&] {
        const int fd = ::open(filePath.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        bool written = fd >= 0;
        writeTimes.push_back(bench::millisecondsOf(
            [&] { written = written && ::write(fd, encoder.output(), jpegBytes) == static_cast<ssize_t>(jpegBytes); }));
        flushTimes.push_back(bench::millisecondsOf([&] { written = written && ::fdatasync(fd) == 0; }));
        if (!written) {
            std::perror("apart.jpg");
            std::exit(1);
        }
        ::close(fd);
        ::unlink(filePath.constData());
    };
    std::vector<double> alone, withJpeg, withBmp;
    for (int i = 0; i < runs; ++i) {
        alone.push_back(bench::millisecondsOf([&] { encoder.run(); }));
        withJpeg.push_back(bench::millisecondsOf(saveJpeg));
        QFile::remove(jpegPath);
        withBmp.push_back(bench::millisecondsOf(saveBmp));
        QFile::remove(bmpPath);
        fileApart();
    }
    // Other work on the machine slows single runs by up to half; the fastest run of each is the one it disturbed
    // least, so the ratio is judged on those, with the medians beside them.
    const double a = bench::fastestOf(alone);
    const double j = bench::fastestOf(withJpeg);
    const double goal = onTmpfs ? 1.05 : 1.10;
    std::printf("%dx%d on %s: mouse-up to the JPEG file closed %.1f ms, tjCompress2 alone %.1f ms: %.3fx, goal <= "
                "%.2fx: %s (fastest of %d; medians %.1f and %.1f ms: %.2fx)\n",
                width, height, onTmpfs ? "tmpfs" : "a disk, with the flush", j, a, j / a, goal,
                j / a <= goal ? "met" : "MISSED", runs, bench::medianOf(withJpeg), bench::medianOf(alone),
                bench::medianOf(withJpeg) / bench::medianOf(alone));
    std::printf("  the file apart, after encoding: write %.1f ms, flush %.1f ms; the save's own cost over the encoder "
                "%.1f ms; output identical to tjCompress2's: %s; %.0f KiB; BMP %.1f ms (%.0f KiB)\n",
                bench::medianOf(writeTimes), bench::medianOf(flushTimes), j - a, identical ? "yes" : "NO",
                jpegBytes / 1024.0, bench::fastestOf(withBmp), (54.0 + width * 3 * height) / 1024.0);
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 11;
    std::unique_ptr<QTemporaryDir> scratch;
    QString folder;
    if (argc > 2) {
        folder = QFile::decodeName(argv[2]);
    } else {
        scratch = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/bench_save-XXXXXX"));
        folder = scratch->path();
    }
    std::printf("folder %s\n", qPrintable(QFileInfo(folder).absoluteFilePath()));
    struct statfs filesystem {};
    const bool onTmpfs =
        ::statfs(QFile::encodeName(folder).constData(), &filesystem) == 0 && filesystem.f_type == TMPFS_MAGIC;
    // Memory first, while nothing else has been allocated and freed; it does not depend on the file system, so it is
    // measured on the disk only.
    if (!onTmpfs) {
        measureMemory(folder, true);
        measureMemory(folder, false);
    }
    measureSpeed(folder, onTmpfs, 1920, 1080, runs);
    measureSpeed(folder, onTmpfs, 3840, 2160, runs);
    return 0;
}
