#include "tiff/tiff_internal.h"

#include "common/alloc.h"

#include <tiffio.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dispsmooth {

namespace {

struct tiff_read_messages {
    int errors;
    codec_failure *failure;
};

// Counts the errors libtiff reports for one file.  Returning 0 lets
// libtiff's default handler print each one as well; a call that keeps the
// library's messages keeps the first one instead, in the default handler's
// words.
int count_error(TIFF *, void *user_data, const char *module, const char *format, va_list args) {
    auto *messages = static_cast<tiff_read_messages *>(user_data);
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

// Drops libtiff's warnings where the library's messages are kept.
int drop_warning(TIFF *, void *user_data, const char *, const char *, va_list) {
    return static_cast<tiff_read_messages *>(user_data)->failure->capture_library_messages ? 1 : 0;
}

}  // namespace

std::uint32_t *try_read_tiff_raster(const char *filename, int array_bytes_per_pixel, int *pw,
                                    int *ph, codec_failure *failure) {
    // libtiff prints its own reason (missing file, bad header, ...) first.
    // Every error it reports for this file is also counted, so that one it
    // gets over while decoding does not pass unnoticed.
    tiff_read_messages messages = {0, failure};
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    if (options == nullptr) {
        set_codec_failure(failure, codec_failure_kind::out_of_memory,
                          "dispsmooth: cannot read TIFF image \"%s\": out of memory", filename);
        return nullptr;
    }
    TIFFOpenOptionsSetErrorHandlerExtR(options, count_error, &messages);
    TIFFOpenOptionsSetWarningHandlerExtR(options, drop_warning, &messages);
    TIFF *tif = TIFFOpenExt(filename, "r", options);
    TIFFOpenOptionsFree(options);
    if (tif == nullptr) {
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot read TIFF image \"%s\"", filename);
        return nullptr;
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
        return nullptr;
    }
    // libtiff itself refuses a zero width or height when it opens the file;
    // this keeps the guarantee of a non-empty image should it ever let one by.
    if (w == 0 || h == 0) {
        TIFFClose(tif);
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: TIFF image \"%s\" has no pixels (%lu x %lu)", filename,
                          static_cast<unsigned long>(w), static_cast<unsigned long>(h));
        return nullptr;
    }
    // Every index into the caller's arrays is an int: refuse what would not
    // fit before allocating anything.  Beyond that, a header may claim any
    // size whatever the data that follows: no image above 2^28 pixels
    // (16384 x 16384) is decoded, so a damaged file of a few bytes cannot
    // make the reader allocate and clear gigabytes first.
    const unsigned long long max_pixels = 1ull << 28;
    if (!fits_int32(w, h, array_bytes_per_pixel) ||
        static_cast<unsigned long long>(w) * h > max_pixels) {
        TIFFClose(tif);
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: TIFF image \"%s\" is too large (%lu x %lu pixels)", filename,
                          static_cast<unsigned long>(w), static_cast<unsigned long>(h));
        return nullptr;
    }

    // Zero-filled, so that nothing the decoder leaves alone is indeterminate;
    // calloc takes a large block from fresh pages that cost nothing until the
    // decoder writes them, so a header that claims far more rows than the
    // file holds is refused at its first missing strip without the whole
    // raster having been cleared first.
    auto *raster = static_cast<std::uint32_t *>(
        std::calloc(static_cast<std::size_t>(w) * h, sizeof(std::uint32_t)));
    if (raster == nullptr) {
        TIFFClose(tif);
        set_codec_failure(failure, codec_failure_kind::out_of_memory,
                          "dispsmooth: out of memory allocating the raster of TIFF image \"%s\" "
                          "(%lu x %lu pixels)",
                          filename, static_cast<unsigned long>(w), static_cast<unsigned long>(h));
        return nullptr;
    }

    // A strip or tile that fails to decode ends the decode at once: a
    // damaged file is refused after libtiff's first error rather than read
    // with stale or missing rows (and an error message for each of them).
    // Some decoders report trouble with a strip only as a warning, yet fail
    // it: such a file gets a second decode that goes past those strips, as
    // libtiff's RGBA interface reads it when not asked to stop.  Whatever
    // libtiff reports as an error on either way refuses the file.
    const int errors_before_decoding = messages.errors;
    int decoded = TIFFReadRGBAImageOriented(tif, w, h, raster, ORIENTATION_TOPLEFT, 1);
    if (decoded == 0 && messages.errors == errors_before_decoding) {
        std::memset(raster, 0, static_cast<std::size_t>(w) * h * sizeof(std::uint32_t));
        decoded = TIFFReadRGBAImageOriented(tif, w, h, raster, ORIENTATION_TOPLEFT, 0);
    }
    TIFFClose(tif);
    if (decoded == 0 || messages.errors != errors_before_decoding) {
        std::free(raster);
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot read TIFF image \"%s\": decoding failed", filename);
        return nullptr;
    }

    *pw = static_cast<int>(w);
    *ph = static_cast<int>(h);
    return raster;
}

}  // namespace dispsmooth
