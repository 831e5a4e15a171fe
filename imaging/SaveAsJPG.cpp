#include "imaging/SaveAsJPG.h"

#include "imaging/Picture.h"
#include "platform/errors/Failure.h"
#include "platform/files/SafeFile.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include <jpeglib.h>
// After jpeglib.h, which it needs.
#include <jerror.h>

namespace {

constexpr int kSaveErrorNumber = 5;
// The encoder's output goes to the file in pieces of about this size as it is made (rounded up to whole blocks of
// the file system): no buffer for the whole file, and none of the fresh pages such a buffer would fault in.
constexpr std::size_t kChunkBytes = std::size_t{128} * 1024;
// Pieces in flight between the encoder and the file. The encoder is slower than the write, so two would do; the
// rest absorb a write that stalls while the disk is busy (a few milliseconds of output). Their pages are touched only
// when used.
constexpr int kPieces = 8;
// Rows handed to the encoder at once.
constexpr int kRowsPerBatch = 16;

[[noreturn]] void raise(int status)
{
    throw Failure(QStringLiteral("Cannot save the image. GDI+ Error:%1").arg(status), kSaveErrorNumber);
}

// The encoder reports errors by calling error_exit, which must not return; it jumps back to encode() with the
// status to report. Warnings (corrupt data on decompression) do not arise when compressing.
struct ErrorManager {
    jpeg_error_mgr base{};
    std::jmp_buf jump{};
    int status = JpegStatus::Ok;
};

[[noreturn]] void errorExit(j_common_ptr info)
{
    auto* errors = reinterpret_cast<ErrorManager*>(info->err);
    if (errors->status == JpegStatus::Ok) {
        errors->status =
            errors->base.msg_code == JERR_OUT_OF_MEMORY ? JpegStatus::OutOfMemory : JpegStatus::EncoderFailed;
    }
    std::longjmp(errors->jump, 1);
}

void ignoreMessage(j_common_ptr /*info*/) {}

// Pieces of output on their way from the encoder, which runs on a thread of its own, to the calling thread, which
// writes each one to the file as soon as it is full: the file is written while the encoder goes on, and the disk
// gets to work on it long before the flush at the end. Only the calling thread touches the file.
class Pipeline {
public:
    struct Piece {
        JOCTET* data = nullptr;
        std::size_t size = 0;
    };

    explicit Pipeline(std::size_t pieceBytes)
        : m_pieceBytes(pieceBytes)
    {
        for (auto& piece : m_storage) {
            piece = std::make_unique_for_overwrite<JOCTET[]>(pieceBytes);
            m_empty.push_back(piece.get());
        }
    }
    std::size_t pieceBytes() const { return m_pieceBytes; }

    // Encoder side. An empty piece to fill; null when the writer has given up.
    JOCTET* takeEmpty()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_abandoned || !m_empty.empty(); });
        if (m_abandoned) {
            return nullptr;
        }
        JOCTET* piece = m_empty.back();
        m_empty.pop_back();
        return piece;
    }
    // Hands a filled piece on; false when the writer has given up.
    bool handOver(JOCTET* data, std::size_t size)
    {
        const std::lock_guard lock(m_mutex);
        m_full.push_back({data, size});
        m_changed.notify_all();
        return !m_abandoned;
    }
    void finish(int status)
    {
        const std::lock_guard lock(m_mutex);
        m_finished = true;
        m_status = status;
        m_changed.notify_all();
    }

    // Writer side. Waits for the next full piece; false once the encoder has finished and every piece is taken.
    bool takeFull(Piece& piece)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_finished || !m_full.empty(); });
        if (m_full.empty()) {
            return false;
        }
        piece = m_full.front();
        m_full.pop_front();
        return true;
    }
    void giveBack(JOCTET* data)
    {
        const std::lock_guard lock(m_mutex);
        m_empty.push_back(data);
        m_changed.notify_all();
    }
    // Stops the encoder at its next piece.
    void abandon()
    {
        const std::lock_guard lock(m_mutex);
        m_abandoned = true;
        m_changed.notify_all();
    }
    // The encoder's status, once takeFull() has said that it finished.
    int status()
    {
        const std::lock_guard lock(m_mutex);
        return m_status;
    }

private:
    std::size_t m_pieceBytes;
    // Not cleared: the encoder fills each piece before it is read.
    std::array<std::unique_ptr<JOCTET[]>, kPieces> m_storage;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<JOCTET*> m_empty;
    std::deque<Piece> m_full;
    bool m_finished = false;
    bool m_abandoned = false;
    int m_status = JpegStatus::Ok;
};

// The encoder's end of the pipeline. A writer that has given up stops the encoder through the error manager, with
// the status of a failed write.
struct PipeDestination {
    jpeg_destination_mgr base{};
    Pipeline* pipeline = nullptr;
    ErrorManager* errors = nullptr;
    JOCTET* piece = nullptr;
};

[[noreturn]] void writerGaveUp(j_compress_ptr info)
{
    auto* destination = reinterpret_cast<PipeDestination*>(info->dest);
    destination->errors->status = JpegStatus::WriteFailed;
    errorExit(reinterpret_cast<j_common_ptr>(info));
}

void startDestination(j_compress_ptr info)
{
    auto* destination = reinterpret_cast<PipeDestination*>(info->dest);
    destination->piece = destination->pipeline->takeEmpty();
    if (destination->piece == nullptr) {
        writerGaveUp(info);
    }
    destination->base.next_output_byte = destination->piece;
    destination->base.free_in_buffer = destination->pipeline->pieceBytes();
}

boolean emptyDestination(j_compress_ptr info)
{
    auto* destination = reinterpret_cast<PipeDestination*>(info->dest);
    if (!destination->pipeline->handOver(destination->piece, destination->pipeline->pieceBytes())) {
        writerGaveUp(info);
    }
    startDestination(info);
    return TRUE;
}

void finishDestination(j_compress_ptr info)
{
    auto* destination = reinterpret_cast<PipeDestination*>(info->dest);
    const std::size_t used = destination->pipeline->pieceBytes() - destination->base.free_in_buffer;
    if (!destination->pipeline->handOver(destination->piece, used)) {
        writerGaveUp(info);
    }
}

// 16-bit and palette rows become packed BGR. 5- and 6-bit channels are widened by repeating their top bits, so
// that white stays 255 and the result matches what the BMP writer and Qt make of them.
void toBgr(PixelFormat format, const std::uint8_t* in, int width, const PaletteEntry* colours, JSAMPLE* out)
{
    if (format == PixelFormat::Rgb565) {
        for (int x = 0; x < width; ++x, in += 2, out += 3) {
            const unsigned pixel = in[0] | (in[1] << 8);
            const unsigned blue = pixel & 0x1f;
            const unsigned green = (pixel >> 5) & 0x3f;
            const unsigned red = pixel >> 11;
            out[0] = static_cast<JSAMPLE>((blue << 3) | (blue >> 2));
            out[1] = static_cast<JSAMPLE>((green << 2) | (green >> 4));
            out[2] = static_cast<JSAMPLE>((red << 3) | (red >> 2));
        }
    } else {
        for (int x = 0; x < width; ++x, ++in, out += 3) {
            const PaletteEntry& colour = colours[*in];
            out[0] = colour.blue;
            out[1] = colour.green;
            out[2] = colour.red;
        }
    }
}

// Everything the encoder needs, made before it starts, so that a jump back from an error leaves nothing behind
// that would need a destructor. The pixels are read through `firstRow` and `stride`, taken on the calling thread.
struct Job {
    const std::uint8_t* firstRow = nullptr;
    std::ptrdiff_t stride = 0;
    int width = 0;
    int height = 0;
    PixelFormat format = PixelFormat::Bgrx32;
    PaletteEntry colours[256] = {};
    std::vector<JSAMPLE> converted; // kRowsPerBatch rows of packed BGR; empty for 32-bit pixels
    int quality = 100;
};

// Encodes the picture into the destination: baseline, accurate DCT, YCbCr at full resolution (4:4:4), the
// encoder's standard tables scaled to the quality, as tjCompress2 does at this quality, byte for byte. Pixels are
// read row by row where they are; only 16-bit and palette rows pass through a small conversion buffer. Returns the
// status.
int encode(jpeg_compress_struct& info, ErrorManager& errors, Job& job)
{
    if (setjmp(errors.jump) != 0) {
        return errors.status;
    }
    const bool direct = job.converted.empty();
    info.image_width = static_cast<JDIMENSION>(job.width);
    info.image_height = static_cast<JDIMENSION>(job.height);
    info.in_color_space = direct ? JCS_EXT_BGRX : JCS_EXT_BGR;
    info.input_components = direct ? 4 : 3;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, job.quality, TRUE);
    info.dct_method = JDCT_ISLOW;
    jpeg_set_colorspace(&info, JCS_YCbCr);
    for (int c = 0; c < info.num_components; ++c) {
        info.comp_info[c].h_samp_factor = 1;
        info.comp_info[c].v_samp_factor = 1;
    }
    jpeg_start_compress(&info, TRUE);
    JSAMPROW rows[kRowsPerBatch];
    while (info.next_scanline < info.image_height) {
        const int first = static_cast<int>(info.next_scanline);
        const int count = std::min(kRowsPerBatch, job.height - first);
        for (int i = 0; i < count; ++i) {
            const std::uint8_t* row = job.firstRow + (first + i) * job.stride;
            if (direct) {
                // The encoder only reads its input rows; its interface simply has no const.
                rows[i] = const_cast<JSAMPLE*>(row);
            } else {
                rows[i] = job.converted.data() + static_cast<std::size_t>(i) * job.width * 3;
                toBgr(job.format, row, job.width, job.colours, rows[i]);
            }
        }
        jpeg_write_scanlines(&info, rows, static_cast<JDIMENSION>(count));
    }
    jpeg_finish_compress(&info);
    return JpegStatus::Ok;
}

struct CompressDeleter {
    void operator()(jpeg_compress_struct* info) const { jpeg_destroy_compress(info); }
};

// The encoder's thread, stopped and joined on every way out of the save.
class EncoderThread {
public:
    explicit EncoderThread(Pipeline& pipeline)
        : m_pipeline(pipeline)
    {}
    ~EncoderThread() { stop(); }
    EncoderThread(const EncoderThread&) = delete;
    EncoderThread& operator=(const EncoderThread&) = delete;

    template <typename Work> void start(Work work) { m_thread = std::thread(std::move(work)); }
    void join() { m_thread.join(); }
    // Makes the encoder give up at its next piece and waits for it.
    void stop()
    {
        if (m_thread.joinable()) {
            m_pipeline.abandon();
            m_thread.join();
        }
    }

private:
    Pipeline& m_pipeline;
    std::thread m_thread;
};

} // namespace

QString SavePictureAsJpeg(const Picture& picture, const QString& fileName, quint8 quality)
{
    const PixelBuffer& bitmap = picture.bitmap();
    if (bitmap.isNull() || quality > 100) {
        raise(JpegStatus::InvalidPicture);
    }

    // The report names the failing stage by its status number alone; the system's reason has no place in it.
    std::unique_ptr<SafeFile> file;
    try {
        file = std::make_unique<SafeFile>(fileName);
    } catch (const Failure&) {
        raise(JpegStatus::CannotCreateFile);
    }

    std::unique_ptr<Job> job;
    std::unique_ptr<Pipeline> pipeline;
    try {
        job = std::make_unique<Job>();
        job->firstRow = bitmap.bits();
        job->stride = bitmap.stride();
        job->width = bitmap.width();
        job->height = bitmap.height();
        job->format = bitmap.format();
        job->quality = quality;
        if (bitmap.format() != PixelFormat::Bgrx32) {
            job->converted.resize(static_cast<std::size_t>(bitmap.width()) * 3 * kRowsPerBatch);
        }
        const std::size_t block = file->preferredWriteSize();
        pipeline = std::make_unique<Pipeline>((kChunkBytes + block - 1) / block * block);
    } catch (const std::bad_alloc&) {
        raise(JpegStatus::OutOfMemory);
    }
    const std::vector<PaletteEntry>& palette = picture.palette();
    std::copy_n(palette.begin(), std::min<std::size_t>(palette.size(), 256), job->colours);

    ErrorManager errors;
    jpeg_compress_struct info{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = errorExit;
    errors.base.output_message = ignoreMessage;
    jpeg_create_compress(&info);
    const std::unique_ptr<jpeg_compress_struct, CompressDeleter> release(&info);
    PipeDestination destination;
    destination.pipeline = pipeline.get();
    destination.errors = &errors;
    destination.base.init_destination = startDestination;
    destination.base.empty_output_buffer = emptyDestination;
    destination.base.term_destination = finishDestination;
    info.dest = &destination.base;

    EncoderThread encoder(*pipeline);
    try {
        encoder.start([&] { pipeline->finish(encode(info, errors, *job)); });
    } catch (const std::system_error&) {
        raise(JpegStatus::OutOfMemory); // no thread to be had
    }
    try {
        Pipeline::Piece piece;
        while (pipeline->takeFull(piece)) {
            file->write(piece.data, piece.size);
            file->startWriteback();
            pipeline->giveBack(piece.data);
        }
    } catch (const Failure&) {
        encoder.stop();
        raise(JpegStatus::WriteFailed);
    }
    encoder.join();
    if (const int status = pipeline->status(); status != JpegStatus::Ok) {
        raise(status);
    }
    try {
        return file->commit();
    } catch (const Failure&) {
        raise(JpegStatus::WriteFailed);
    }
}
