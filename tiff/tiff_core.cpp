// The TIFF codec's core: libtiff's message handlers, the band-by-band
// decode into 8-bit RGBA and the checked, packed and atomically replaced write.
#include "tiff/tiff_handlers.h"
#include "tiff/tiff_internal.h"

#include "common/alloc.h"
#include "common/image_sink.h"
#include "common/memory_budget.h"
#include "common/output_file.h"

#include <tiffio.h>

#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dispsmooth::tiff_detail {

namespace {

// Counts the errors libtiff reports for one file.  Returning 0 lets
// libtiff's default handler print each one as well; a call that keeps the
// library's messages keeps the first one instead, in the default handler's
// words.
int count_error(TIFF *, void *user_data, const char *module, const char *format, va_list args) {
    auto *messages = static_cast<tiff_messages *>(user_data);
    ++messages->errors;
    if (!messages->failure->capture_library_messages) return 0;
    char text[4608];
    (void)std::vsnprintf(text, sizeof text, format, args);
    if (module != nullptr)
        keep_library_message(messages->failure, "%s: %s.", module, text);
    else
        keep_library_message(messages->failure, "%s.", text);
    return 1;
}

// Drops libtiff's warnings where the library's messages are kept; otherwise
// they go on to the default handler.
int drop_warning(TIFF *, void *user_data, const char *, const char *, va_list) {
    return static_cast<tiff_messages *>(user_data)->failure->capture_library_messages ? 1 : 0;
}

// Refuses (false, *failure filled) a write of w x h pixels of sampleperpixel
// samples unless both sizes are positive, the byte count fits a signed
// 32-bit int and sampleperpixel is 1 (gray) or 4 (RGB plus a fourth sample).
bool try_accept_tiff_write_request(const char *filename, int w, int h, int sampleperpixel,
                                   codec_failure *failure) {
    if (sampleperpixel != 1 && sampleperpixel != 4) {
        set_codec_failure(failure, codec_failure_kind::request,
                          "dispsmooth: cannot write TIFF image \"%s\": %d samples "
                          "per pixel is not "
                          "supported (1 or 4)",
                          filename, sampleperpixel);
        return false;
    }
    if (w <= 0 || h <= 0) {
        set_codec_failure(failure, codec_failure_kind::request,
                          "dispsmooth: cannot write TIFF image \"%s\": invalid size %d x %d",
                          filename, w, h);
        return false;
    }
    if (!fits_int32(w, h, sampleperpixel)) {
        set_codec_failure(failure, codec_failure_kind::request,
                          "dispsmooth: cannot write TIFF image \"%s\": %d x %d "
                          "pixels is too large",
                          filename, w, h);
        return false;
    }
    return true;
}

// The low 8 bits of v, without clamping (256 -> 0, -1 -> 255).
unsigned char low_byte(int v) { return static_cast<unsigned char>(v & 0xFF); }

}  // namespace

bool abandon_write(TIFF *tif, output_file *out, codec_failure *failure) {
    TIFFClose(tif);
    if (out->temp_path != nullptr) {
        discard_output_file(out);
    } else {
        struct stat written {};
        if (lstat(out->target, &written) == 0 && S_ISREG(written.st_mode)) unlink(out->target);
    }
    set_codec_failure(failure, codec_failure_kind::file,
                      "dispsmooth: cannot write TIFF image \"%s\"", out->target);
    return false;
}

TIFFOpenOptions *open_options(tiff_messages *messages) {
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    if (options == nullptr) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(options, count_error, messages);
    TIFFOpenOptionsSetWarningHandlerExtR(options, drop_warning, messages);
    return options;
}

namespace {

// Decodes rows row_offset .. row_offset + rows - 1 into band (width x rows,
// top row first).  A strip or tile that fails to decode ends the decode at
// once: a damaged file is refused after libtiff's first error rather than
// read with stale or missing rows (and an error message for each of them).
// Some decoders report trouble with a strip only as a warning, yet fail it:
// such a band gets a second decode that goes past those strips, as
// libtiff's RGBA interface reads it when not asked to stop.  Whatever
// libtiff reports as an error on either way refuses the file.
bool try_decode_band(TIFFRGBAImage *image, const tiff_messages *messages, std::uint32_t row_offset,
                     std::uint32_t rows, std::uint32_t *band) {
    const std::size_t band_bytes = static_cast<std::size_t>(image->width) * rows * sizeof(*band);
    const int errors_before = messages->errors;
    image->row_offset = static_cast<int>(row_offset);
    image->col_offset = 0;
    image->stoponerr = 1;
    std::memset(band, 0, band_bytes);
    int decoded = TIFFRGBAImageGet(image, band, image->width, rows);
    if (decoded == 0 && messages->errors == errors_before) {
        std::memset(band, 0, band_bytes);
        image->stoponerr = 0;
        decoded = TIFFRGBAImageGet(image, band, image->width, rows);
    }
    return decoded != 0 && messages->errors == errors_before;
}

}  // namespace

bool try_read_tiff(const char *filename, const image_sink *sink, codec_failure *failure) {
    // libtiff prints its own reason (missing file, bad header, ...) first.
    // Every error it reports for this file is also counted, so that one it
    // gets over while decoding does not pass unnoticed.
    tiff_messages messages = {0, failure};
    TIFFOpenOptions *options = open_options(&messages);
    if (options == nullptr) {
        set_codec_failure(failure, codec_failure_kind::out_of_memory,
                          "dispsmooth: cannot read TIFF image \"%s\": out of memory", filename);
        return false;
    }
    TIFF *tif = TIFFOpenExt(filename, "r", options);
    TIFFOpenOptionsFree(options);
    if (tif == nullptr) {
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot read TIFF image \"%s\"", filename);
        return false;
    }
    std::uint32_t w = 0;
    std::uint32_t h = 0;
    if (TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w) != 1 ||
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h) != 1) {
        TIFFClose(tif);
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot read TIFF image \"%s\": ImageWidth or ImageLength "
                          "missing",
                          filename);
        return false;
    }
    // libtiff itself refuses a zero width or height when it opens the file;
    // this keeps the guarantee of a non-empty image should it ever let one by.
    if (w == 0 || h == 0) {
        TIFFClose(tif);
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: TIFF image \"%s\" has no pixels (%lu x %lu)", filename,
                          static_cast<unsigned long>(w), static_cast<unsigned long>(h));
        return false;
    }
    // The byte size of the sink's arrays (12 a pixel for RGB, 4 for gray)
    // must fit an int, as every index into them is one: refuse what would
    // not before allocating anything.  Beyond that, a header may claim any
    // size whatever the data that follows: no image above 2^28 pixels
    // (16384 x 16384) is decoded, so a damaged file of a few bytes cannot
    // make the reader allocate and clear gigabytes first.
    const int array_bytes_per_pixel = sink->bytes_per_pixel >= 3 * sizeof(int) ? 12 : 4;
    const unsigned long long max_pixels = 1ull << 28;
    if (!fits_int32(w, h, array_bytes_per_pixel) ||
        static_cast<unsigned long long>(w) * h > max_pixels) {
        TIFFClose(tif);
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: TIFF image \"%s\" is too large (%lu x %lu pixels)", filename,
                          static_cast<unsigned long>(w), static_cast<unsigned long>(h));
        return false;
    }

    // The image is decoded a band of whole strips (or tiles) at a time, top
    // to bottom, for a file stored top row first (as nearly all are); any
    // other orientation is decoded whole, so that libtiff can turn it.
    std::uint16_t orientation = ORIENTATION_TOPLEFT;
    (void)TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
    std::uint32_t band_rows = h;
    if (orientation == ORIENTATION_TOPLEFT) {
        std::uint32_t unit = 0;
        const int found = TIFFIsTiled(tif) != 0
                              ? TIFFGetField(tif, TIFFTAG_TILELENGTH, &unit)
                              : TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &unit);
        if (found == 1 && unit > 0 && unit < h) band_rows = unit;
    }

    // The band and what the sink keeps must fit in what the process may
    // still allocate: a declared size that would not is refused with the
    // figures rather than ended by the kernel half way.
    const std::uint64_t pixel_count = static_cast<std::uint64_t>(w) * h;
    const std::uint64_t band_pixels = static_cast<std::uint64_t>(w) * band_rows;
    if (!try_reserve_image_memory(
            filename,
            pixel_count * sink->bytes_per_pixel + band_pixels * (sizeof(std::uint32_t) + 1), w, h,
            failure)) {
        TIFFClose(tif);
        return false;
    }

    char why[1024] = "";
    TIFFRGBAImage image;
    if (TIFFRGBAImageOK(tif, why) == 0 || TIFFRGBAImageBegin(&image, tif, 1, why) == 0) {
        TIFFErrorExtR(tif, TIFFFileName(tif), "%s", why);
        TIFFClose(tif);
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot read TIFF image \"%s\": decoding failed", filename);
        return false;
    }
    image.req_orientation = ORIENTATION_TOPLEFT;

    // Zero-filled before each decode, so that nothing the decoder leaves
    // alone is indeterminate.
    auto *band = static_cast<std::uint32_t *>(
        std::malloc(static_cast<std::size_t>(band_pixels) * sizeof(std::uint32_t)));
    auto *row = static_cast<unsigned char *>(std::malloc(4 * static_cast<std::size_t>(w)));
    bool read = band != nullptr && row != nullptr;
    if (!read) {
        set_codec_failure(failure, codec_failure_kind::out_of_memory,
                          "dispsmooth: out of memory allocating the raster of TIFF image \"%s\" "
                          "(%lu x %lu pixels)",
                          filename, static_cast<unsigned long>(w), static_cast<unsigned long>(h));
    } else {
        read =
            sink->begin(sink->target, static_cast<int>(w), static_cast<int>(h), filename, failure);
    }
    for (std::uint32_t y0 = 0; read && y0 < h; y0 += band_rows) {
        const std::uint32_t rows = std::min(band_rows, h - y0);
        if (!try_decode_band(&image, &messages, y0, rows, band)) {
            set_codec_failure(failure, codec_failure_kind::file,
                              "dispsmooth: cannot read TIFF image \"%s\": decoding failed",
                              filename);
            read = false;
            break;
        }
        for (std::uint32_t r = 0; r < rows; ++r) {
            const std::uint32_t *const pixels = band + static_cast<std::size_t>(r) * w;
            for (std::uint32_t x = 0; x < w; ++x) {
                unsigned char *const px = row + 4 * static_cast<std::size_t>(x);
                px[0] = static_cast<unsigned char>(TIFFGetR(pixels[x]));
                px[1] = static_cast<unsigned char>(TIFFGetG(pixels[x]));
                px[2] = static_cast<unsigned char>(TIFFGetB(pixels[x]));
                px[3] = static_cast<unsigned char>(TIFFGetA(pixels[x]));
            }
            sink->store_row(sink->target, static_cast<int>(y0 + r), row, 4, 0, 1);
        }
    }
    std::free(row);
    std::free(band);
    TIFFRGBAImageEnd(&image);
    TIFFClose(tif);
    return read;
}

bool try_write_tiff(const char *filename, const unsigned char *data, int w, int h,
                    int sampleperpixel, codec_failure *failure) {
    if (!try_accept_tiff_write_request(filename, w, h, sampleperpixel, failure)) return false;

    // A new file beside the target where possible, renamed over it once
    // complete; libtiff's messages name the target either way.  libtiff
    // prints its own reason (no such directory, permission denied, is a
    // directory, ...) when the target cannot be opened in place.
    output_file out;
    begin_output_file(filename, &out);
    tiff_messages messages = {0, failure};
    TIFFOpenOptions *options = open_options(&messages);
    TIFF *tif = nullptr;
    if (options != nullptr) {
        tif = out.temp_fd >= 0 ? TIFFFdOpenExt(out.temp_fd, filename, "w", options)
                               : TIFFOpenExt(filename, "w", options);
        TIFFOpenOptionsFree(options);
    }
    if (tif == nullptr) {
        if (out.temp_fd >= 0) {
            close(out.temp_fd);
            discard_output_file(&out);
        }
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot create TIFF image \"%s\"", filename);
        return false;
    }

    // The fourth sample of a colour file is written without an ExtraSamples
    // field; strip layout is left to libtiff.
    const auto width = static_cast<std::uint32_t>(w);
    const auto height = static_cast<std::uint32_t>(h);
    const auto spp = static_cast<std::uint16_t>(sampleperpixel);
    const std::uint16_t photometric =
        sampleperpixel == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB;
    const bool fields_set = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width) == 1 &&
                            TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height) == 1 &&
                            TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp) == 1 &&
                            TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8) == 1 &&
                            TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) == 1 &&
                            TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
                            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric) == 1 &&
                            TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE) == 1;
    if (!fields_set) return abandon_write(tif, &out, failure);

    const std::size_t row_bytes = static_cast<std::size_t>(w) * static_cast<std::size_t>(spp);
    for (std::uint32_t row = 0; row < height; ++row) {
        // TIFFWriteScanline takes a non-const buffer because some codecs
        // byte-swap in place; 8-bit uncompressed samples are only copied.
        auto *line = const_cast<unsigned char *>(data + row_bytes * row);
        if (TIFFWriteScanline(tif, line, row, 0) != 1) return abandon_write(tif, &out, failure);
    }

    // Flushing separately lets a failed write of the last strip or of the
    // directory be seen; TIFFClose reports nothing.  The new file reaches
    // the disk before it takes the target's place.
    if (TIFFFlush(tif) != 1 || !sync_output_file(&out, TIFFFileno(tif)))
        return abandon_write(tif, &out, failure);
    TIFFClose(tif);
    if (!commit_output_file(&out)) {
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot write TIFF image \"%s\": %s", filename,
                          std::strerror(errno));
        return false;
    }
    return true;
}

bool try_pack_and_write_tiff(const char *file_name, int width, int heigh, const int *image_arr,
                             int image_channels, const int *alpha_arr, codec_failure *failure) {
    // Colour is always written with a fourth sample, alpha or 255.
    const int sampleperpixel = image_channels == 1 ? 1 : 4;
    if (!try_accept_tiff_write_request(file_name, width, heigh, sampleperpixel, failure))
        return false;

    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(heigh);
    const std::size_t spp = static_cast<std::size_t>(sampleperpixel);
    const std::size_t channels = static_cast<std::size_t>(image_channels);
    auto *I_char = static_cast<unsigned char *>(
        try_file_calloc(pixels * spp, 1, "the TIFF sample buffer", file_name, failure));
    if (I_char == nullptr) return false;

    for (std::size_t p = 0; p < pixels; ++p) {
        for (std::size_t c = 0; c < channels; ++c) {
            I_char[spp * p + c] = low_byte(image_arr[channels * p + c]);
        }
        if (spp == 4) I_char[spp * p + 3] = alpha_arr != nullptr ? low_byte(alpha_arr[p]) : 255;
    }

    const bool written = try_write_tiff(file_name, I_char, width, heigh, sampleperpixel, failure);
    std::free(I_char);
    return written;
}

}  // namespace dispsmooth::tiff_detail
