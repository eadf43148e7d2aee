#include "dispsmooth/tiff_codec.h"

#include "tiff_internal.h"

#include <tiffio.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {

// Ends a write that libtiff reported as failed: the partial file is not
// left behind looking like a result.  Only a regular file is removed, never
// a device or anything else the name may point at.
[[noreturn]] void abandon_write(TIFF *tif, const char *filename) {
    TIFFClose(tif);
    std::error_code ec;
    if (std::filesystem::is_regular_file(filename, ec)) std::filesystem::remove(filename, ec);
    std::fprintf(stderr, "dispsmooth: cannot write TIFF image \"%s\"\n", filename);
    std::exit(1);
}

}  // namespace

void write_tiff(const char *filename, const unsigned char *data, int w, int h, int sampleperpixel) {
    dispsmooth::check_tiff_write_request(filename, w, h, sampleperpixel);

    // libtiff prints its own reason (no such directory, permission denied,
    // is a directory, ...) first.
    TIFF *tif = TIFFOpen(filename, "w");
    if (tif == nullptr) {
        std::fprintf(stderr, "dispsmooth: cannot create TIFF image \"%s\"\n", filename);
        std::exit(1);
    }

    // The fourth sample of a colour file is written without an ExtraSamples
    // field; strip layout is left to libtiff.
    const auto width = static_cast<std::uint32_t>(w);
    const auto height = static_cast<std::uint32_t>(h);
    const auto spp = static_cast<std::uint16_t>(sampleperpixel);
    const std::uint16_t photometric = sampleperpixel == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB;
    const bool fields_set = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width) == 1 &&
                            TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height) == 1 &&
                            TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp) == 1 &&
                            TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8) == 1 &&
                            TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) == 1 &&
                            TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
                            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric) == 1 &&
                            TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE) == 1;
    if (!fields_set) abandon_write(tif, filename);

    const std::size_t row_bytes = static_cast<std::size_t>(w) * static_cast<std::size_t>(spp);
    for (std::uint32_t row = 0; row < height; ++row) {
        // TIFFWriteScanline takes a non-const buffer because some codecs
        // byte-swap in place; 8-bit uncompressed samples are only copied.
        auto *line = const_cast<unsigned char *>(data + row_bytes * row);
        if (TIFFWriteScanline(tif, line, row, 0) != 1) abandon_write(tif, filename);
    }

    // Flushing separately lets a failed write of the last strip or of the
    // directory be seen; TIFFClose reports nothing.
    if (TIFFFlush(tif) != 1) abandon_write(tif, filename);
    TIFFClose(tif);
}
