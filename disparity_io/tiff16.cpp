// 16-bit TIFF at full depth through libtiff: the first sample of each pixel
// of a striped file, read a scanline at a time, and 16-bit grey written a
// scanline at a time into a file that replaces its target once complete.
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/alloc.h"
#include "common/memory_budget.h"
#include "common/output_file.h"
#include "disparity_io/disparity_io_internal.h"
#include "tiff/tiff_handlers.h"

namespace dispsmooth::disparity_detail {

using tiff_detail::tiff_messages;

namespace {

TIFF *open_tiff(const char *filename, int fd, const char *mode, tiff_messages *messages) {
    TIFFOpenOptions *options = tiff_detail::open_options(messages);
    if (options == nullptr) return nullptr;
    TIFF *tif =
        fd >= 0 ? TIFFFdOpenExt(fd, filename, mode, options) : TIFFOpenExt(filename, mode, options);
    TIFFOpenOptionsFree(options);
    return tif;
}

bool refuse(TIFF *tif, const char *filename, const char *why, codec_failure *failure) {
    TIFFClose(tif);
    set_codec_failure(failure, codec_failure_kind::file,
                      "dispsmooth: cannot read TIFF image \"%s\"%s", filename, why);
    return false;
}

}  // namespace

bool try_read_tiff16(const char *filename, samples16 *out, codec_failure *failure) {
    out->pixels = nullptr;
    struct stat st {};
    const long long file_size = stat(filename, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    tiff_messages messages = {0, failure};
    TIFF *tif = open_tiff(filename, -1, "r", &messages);
    if (tif == nullptr) {
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot read TIFF image \"%s\"", filename);
        return false;
    }
    std::uint32_t w = 0;
    std::uint32_t h = 0;
    std::uint16_t bits = 1;
    std::uint16_t spp = 1;
    std::uint16_t format = SAMPLEFORMAT_UINT;
    std::uint16_t planar = PLANARCONFIG_CONTIG;
    if (TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w) != 1 ||
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h) != 1)
        return refuse(tif, filename, ": no image size", failure);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    if (TIFFIsTiled(tif) != 0) return refuse(tif, filename, ": tiled files are not read", failure);
    if ((bits != 8 && bits != 16) || format != SAMPLEFORMAT_UINT || spp == 0) {
        char why[160];
        (void)std::snprintf(why, sizeof why,
                            ": %u-bit samples of format %u; unsigned 8- or 16-bit samples are read",
                            static_cast<unsigned>(bits), static_cast<unsigned>(format));
        return refuse(tif, filename, why, failure);
    }
    if (w == 0 || h == 0 || static_cast<unsigned long long>(w) * h > (1ULL << 28)) {
        TIFFClose(tif);
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot read \"%s\": %lu x %lu pixels is too large", filename,
                          static_cast<unsigned long>(w), static_cast<unsigned long>(h));
        return false;
    }
    const int width = static_cast<int>(w);
    const int height = static_cast<int>(h);
    const auto scanline = static_cast<std::size_t>(TIFFScanlineSize64(tif));
    const std::size_t per_pixel = planar == PLANARCONFIG_SEPARATE ? 1 : spp;
    if (scanline < per_pixel * (bits / 8) * static_cast<std::size_t>(width))
        return refuse(tif, filename, ": unexpected scanline size", failure);
    if (!declared_size_fits(filename, "TIFF", width, height,
                            static_cast<std::uint64_t>(scanline) * h, file_size,
                            any_compression_expansion_bound, failure)) {
        TIFFClose(tif);
        return false;
    }
    const std::uint64_t pixel_count = static_cast<std::uint64_t>(width) * height;
    if (!try_reserve_image_memory(filename, pixel_count * 2 + scanline, width, height, failure)) {
        TIFFClose(tif);
        return false;
    }
    auto *pixels = static_cast<std::uint16_t *>(
        try_file_calloc(pixel_count, sizeof(std::uint16_t), "the image array", filename, failure));
    auto *line = pixels == nullptr ? nullptr
                                   : static_cast<unsigned char *>(try_file_calloc(
                                         scanline, 1, "a TIFF scanline", filename, failure));
    if (line == nullptr) {
        std::free(pixels);
        TIFFClose(tif);
        return false;
    }
    // The first plane of a file of separate planes is its first sample.
    for (std::uint32_t y = 0; y < h && messages.errors == 0; ++y) {
        if (TIFFReadScanline(tif, line, y, 0) != 1) {
            ++messages.errors;
            break;
        }
        std::uint16_t *target = pixels + static_cast<std::size_t>(y) * w;
        for (std::size_t x = 0; x < w; ++x) {
            if (bits == 8) {
                target[x] = line[per_pixel * x];
            } else {
                std::memcpy(target + x, line + 2 * per_pixel * x, sizeof(std::uint16_t));
            }
        }
    }
    std::free(line);
    TIFFClose(tif);
    if (messages.errors != 0) {
        std::free(pixels);
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot read TIFF image \"%s\"", filename);
        return false;
    }
    out->width = width;
    out->height = height;
    out->bit_depth = bits;
    out->pixels = pixels;
    return true;
}

bool try_write_tiff16(const char *filename, int width, int height, const std::uint16_t *pixels,
                      codec_failure *failure) {
    output_file out;
    begin_output_file(filename, &out);
    tiff_messages messages = {0, failure};
    TIFF *tif = open_tiff(filename, out.temp_fd, "w", &messages);
    if (tif == nullptr) {
        if (out.temp_fd >= 0) {
            close(out.temp_fd);
            discard_output_file(&out);
        }
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot create TIFF image \"%s\"", filename);
        return false;
    }
    const bool fields_set =
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(width)) == 1 &&
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(height)) == 1 &&
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1) == 1 &&
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16) == 1 &&
        TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT) == 1 &&
        TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) == 1 &&
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) == 1 &&
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE) == 1;
    if (!fields_set) return tiff_detail::abandon_write(tif, &out, failure);
    const std::size_t row_values = static_cast<std::size_t>(width);
    auto *line = static_cast<std::uint16_t *>(
        try_calloc(row_values, sizeof(std::uint16_t), "a TIFF scanline", failure));
    if (line == nullptr) return tiff_detail::abandon_write(tif, &out, failure);
    for (int y = 0; y < height; ++y) {
        // TIFFWriteScanline may byte-swap its buffer in place: a copy.
        std::memcpy(line, pixels + row_values * static_cast<std::size_t>(y),
                    row_values * sizeof(std::uint16_t));
        if (TIFFWriteScanline(tif, line, static_cast<std::uint32_t>(y), 0) != 1) {
            std::free(line);
            return tiff_detail::abandon_write(tif, &out, failure);
        }
    }
    std::free(line);
    if (TIFFFlush(tif) != 1 || messages.errors != 0 || !sync_output_file(&out, TIFFFileno(tif)))
        return tiff_detail::abandon_write(tif, &out, failure);
    TIFFClose(tif);
    if (!commit_output_file(&out)) {
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot write TIFF image \"%s\": %s", filename,
                          std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace dispsmooth::disparity_detail
