#include "imaging/SaveAsJPG.h"

#include "imaging/Picture.h"
#include "platform/errors/Failure.h"
#include "platform/files/SafeFile.h"

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include <jpeglib.h>
// After jpeglib.h, which it needs.
#include <jerror.h>

namespace {

constexpr int kSaveErrorNumber = 5;
// The encoder's output goes to the file in pieces of this size as it is made, from one small buffer: no buffer
// for the whole file, and none of the fresh pages such a buffer would fault in.
constexpr std::size_t kChunkBytes = std::size_t{128} * 1024;
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

// Hands every full chunk to the file. A failing write is reported through the error manager, with the status of a
// failed write, once the failure's own objects are gone.
struct FileDestination {
    jpeg_destination_mgr base{};
    SafeFile* file = nullptr;
    ErrorManager* errors = nullptr;
    std::vector<JOCTET> chunk;
};

void startDestination(j_compress_ptr info)
{
    auto* destination = reinterpret_cast<FileDestination*>(info->dest);
    destination->base.next_output_byte = destination->chunk.data();
    destination->base.free_in_buffer = destination->chunk.size();
}

bool writeOut(FileDestination* destination, std::size_t size)
{
    try {
        destination->file->write(destination->chunk.data(), size);
        return true;
    } catch (const Failure&) {
        return false;
    }
}

boolean emptyDestination(j_compress_ptr info)
{
    auto* destination = reinterpret_cast<FileDestination*>(info->dest);
    if (!writeOut(destination, destination->chunk.size())) {
        destination->errors->status = JpegStatus::WriteFailed;
        errorExit(reinterpret_cast<j_common_ptr>(info));
    }
    startDestination(info);
    return TRUE;
}

void finishDestination(j_compress_ptr info)
{
    auto* destination = reinterpret_cast<FileDestination*>(info->dest);
    if (!writeOut(destination, destination->chunk.size() - destination->base.free_in_buffer)) {
        destination->errors->status = JpegStatus::WriteFailed;
        errorExit(reinterpret_cast<j_common_ptr>(info));
    }
}

// 16-bit and palette rows become packed BGR. 5- and 6-bit channels are widened by repeating their top bits, so
// that white stays 255 and the result matches what the BMP writer and Qt make of them.
void toBgr(const PixelBuffer& bitmap, const PaletteEntry* colours, int y, JSAMPLE* out)
{
    const std::uint8_t* in = bitmap.row(y);
    const int width = bitmap.width();
    if (bitmap.format() == PixelFormat::Rgb565) {
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
// that would need a destructor.
struct Job {
    const PixelBuffer* bitmap = nullptr;
    PaletteEntry colours[256] = {};
    std::vector<JSAMPLE> converted; // kRowsPerBatch rows of packed BGR; empty for 32-bit pixels
    int quality = 100;
};

// Encodes the picture into the destination: baseline, accurate DCT, YCbCr at full resolution (4:4:4), the
// encoder's standard tables scaled to the quality. Pixels are read row by row where they are; only 16-bit and
// palette rows pass through a small conversion buffer. Returns the status.
int encode(jpeg_compress_struct& info, ErrorManager& errors, Job& job)
{
    if (setjmp(errors.jump) != 0) {
        return errors.status;
    }
    const PixelBuffer& bitmap = *job.bitmap;
    const bool direct = job.converted.empty();
    info.image_width = static_cast<JDIMENSION>(bitmap.width());
    info.image_height = static_cast<JDIMENSION>(bitmap.height());
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
        const int count = std::min(kRowsPerBatch, bitmap.height() - first);
        for (int i = 0; i < count; ++i) {
            if (direct) {
                // The encoder only reads its input rows; its interface simply has no const.
                rows[i] = const_cast<JSAMPLE*>(bitmap.row(first + i));
            } else {
                rows[i] = job.converted.data() + static_cast<std::size_t>(i) * bitmap.width() * 3;
                toBgr(bitmap, job.colours, first + i, rows[i]);
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

    auto job = std::make_unique<Job>();
    FileDestination destination;
    ErrorManager errors;
    try {
        job->bitmap = &bitmap;
        job->quality = quality;
        if (bitmap.format() != PixelFormat::Bgrx32) {
            job->converted.resize(static_cast<std::size_t>(bitmap.width()) * 3 * kRowsPerBatch);
        }
        destination.chunk.resize(kChunkBytes);
    } catch (const std::bad_alloc&) {
        raise(JpegStatus::OutOfMemory);
    }
    const std::vector<PaletteEntry>& palette = picture.palette();
    std::copy_n(palette.begin(), std::min<std::size_t>(palette.size(), 256), job->colours);

    jpeg_compress_struct info{};
    info.err = jpeg_std_error(&errors.base);
    errors.base.error_exit = errorExit;
    errors.base.output_message = ignoreMessage;
    jpeg_create_compress(&info);
    const std::unique_ptr<jpeg_compress_struct, CompressDeleter> release(&info);
    destination.file = file.get();
    destination.errors = &errors;
    destination.base.init_destination = startDestination;
    destination.base.empty_output_buffer = emptyDestination;
    destination.base.term_destination = finishDestination;
    info.dest = &destination.base;

    const int status = encode(info, errors, *job);
    if (status != JpegStatus::Ok) {
        raise(status);
    }
    try {
        return file->commit();
    } catch (const Failure&) {
        raise(JpegStatus::WriteFailed);
    }
}
