#include "common/output_file.h"
#include "tiff/tiff_internal.h"

#include <tiffio.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dispsmooth {

namespace {

struct tiff_write_messages {
    codec_failure *failure;
};

// Where the library's messages are kept: the first error in the words of
// libtiff's default handler, and no warnings.  Otherwise both go on to the
// default handlers.
int keep_error(TIFF *, void *user_data, const char *module, const char *format, va_list args) {
    codec_failure *failure = static_cast<tiff_write_messages *>(user_data)->failure;
    if (!failure->capture_library_messages) return 0;
    char text[4608];
    (void)std::vsnprintf(text, sizeof text, format, args);
    if (module != nullptr)
        keep_library_message(failure, "%s: %s.", module, text);
    else
        keep_library_message(failure, "%s.", text);
    return 1;
}

int drop_warning(TIFF *, void *user_data, const char *, const char *, va_list) {
    return static_cast<tiff_write_messages *>(user_data)->failure->capture_library_messages ? 1 : 0;
}

// Ends a write that failed: the previous file of that name stays as it was.
// A file written in place is incomplete; it is removed rather than left
// looking like a result, but only when the name itself is a regular file,
// never a device, a symbolic link or anything else it may be.
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

}  // namespace

bool try_write_tiff(const char *filename, const unsigned char *data, int w, int h,
                    int sampleperpixel, codec_failure *failure) {
    if (!check_tiff_write_request(filename, w, h, sampleperpixel, failure)) return false;

    // A new file beside the target where possible, renamed over it once
    // complete; libtiff's messages name the target either way.  libtiff
    // prints its own reason (no such directory, permission denied, is a
    // directory, ...) when the target cannot be opened in place.
    output_file out;
    begin_output_file(filename, &out);
    tiff_write_messages messages = {failure};
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    TIFF *tif = nullptr;
    if (options != nullptr) {
        TIFFOpenOptionsSetErrorHandlerExtR(options, keep_error, &messages);
        TIFFOpenOptionsSetWarningHandlerExtR(options, drop_warning, &messages);
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

}  // namespace dispsmooth
