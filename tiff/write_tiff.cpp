#include "dispsmooth/tiff_codec.h"

#include "output_file.h"
#include "tiff_internal.h"

#include <tiffio.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Ends a write that failed: the previous file of that name stays as it was.
// A file written in place is incomplete; it is removed rather than left
// looking like a result, but only when the name itself is a regular file,
// never a device, a symbolic link or anything else it may be.
[[noreturn]] void abandon_write(TIFF *tif, dispsmooth::output_file *out) {
    TIFFClose(tif);
    if (out->temp_path != nullptr) {
        dispsmooth::discard_output_file(out);
    } else {
        struct stat written {};
        if (lstat(out->target, &written) == 0 && S_ISREG(written.st_mode)) unlink(out->target);
    }
    std::fprintf(stderr, "dispsmooth: cannot write TIFF image \"%s\"\n", out->target);
    std::exit(1);
}

}  // namespace

void write_tiff(const char *filename, const unsigned char *data, int w, int h, int sampleperpixel) {
    dispsmooth::check_tiff_write_request(filename, w, h, sampleperpixel);

    // A new file beside the target where possible, renamed over it once
    // complete; libtiff's messages name the target either way.  libtiff
    // prints its own reason (no such directory, permission denied, is a
    // directory, ...) when the target cannot be opened in place.
    dispsmooth::output_file out;
    dispsmooth::begin_output_file(filename, &out);
    TIFF *tif =
        out.temp_fd >= 0 ? TIFFFdOpen(out.temp_fd, filename, "w") : TIFFOpen(filename, "w");
    if (tif == nullptr) {
        if (out.temp_fd >= 0) {
            close(out.temp_fd);
            dispsmooth::discard_output_file(&out);
        }
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
    if (!fields_set) abandon_write(tif, &out);

    const std::size_t row_bytes = static_cast<std::size_t>(w) * static_cast<std::size_t>(spp);
    for (std::uint32_t row = 0; row < height; ++row) {
        // TIFFWriteScanline takes a non-const buffer because some codecs
        // byte-swap in place; 8-bit uncompressed samples are only copied.
        auto *line = const_cast<unsigned char *>(data + row_bytes * row);
        if (TIFFWriteScanline(tif, line, row, 0) != 1) abandon_write(tif, &out);
    }

    // Flushing separately lets a failed write of the last strip or of the
    // directory be seen; TIFFClose reports nothing.  The new file reaches
    // the disk before it takes the target's place.
    if (TIFFFlush(tif) != 1 || !dispsmooth::sync_output_file(&out, TIFFFileno(tif)))
        abandon_write(tif, &out);
    TIFFClose(tif);
    if (!dispsmooth::commit_output_file(&out)) {
        std::fprintf(stderr, "dispsmooth: cannot write TIFF image \"%s\": %s\n", filename,
                     std::strerror(errno));
        std::exit(1);
    }
}
