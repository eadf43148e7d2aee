#include "tiff_internal.h"

#include "checked_alloc.h"

#include <tiffio.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dispsmooth {

std::uint32_t *read_tiff_raster(const char *filename, int array_bytes_per_pixel, int *pw,
                                int *ph) {
    // libtiff prints its own reason (missing file, bad header, ...) first.
    TIFF *tif = TIFFOpen(filename, "r");
    if (tif == nullptr) {
        std::fprintf(stderr, "dispsmooth: cannot read TIFF image \"%s\"\n", filename);
        std::exit(1);
    }

    std::uint32_t w = 0;
    std::uint32_t h = 0;
    if (TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w) != 1 ||
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h) != 1) {
        TIFFClose(tif);
        std::fprintf(stderr,
                     "dispsmooth: cannot read TIFF image \"%s\": ImageWidth or ImageLength "
                     "missing\n",
                     filename);
        std::exit(1);
    }
    // libtiff itself refuses a zero width or height when it opens the file;
    // this keeps the guarantee of a non-empty image should it ever let one by.
    if (w == 0 || h == 0) {
        TIFFClose(tif);
        std::fprintf(stderr, "dispsmooth: TIFF image \"%s\" has no pixels (%lu x %lu)\n",
                     filename, static_cast<unsigned long>(w), static_cast<unsigned long>(h));
        std::exit(1);
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
        std::fprintf(stderr, "dispsmooth: TIFF image \"%s\" is too large (%lu x %lu pixels)\n",
                     filename, static_cast<unsigned long>(w), static_cast<unsigned long>(h));
        std::exit(1);
    }

    const tmsize_t raster_bytes =
        static_cast<tmsize_t>(w) * static_cast<tmsize_t>(h) * sizeof(std::uint32_t);
    auto *raster = static_cast<std::uint32_t *>(_TIFFmalloc(raster_bytes));
    if (raster == nullptr) {
        TIFFClose(tif);
        std::fprintf(stderr,
                     "dispsmooth: out of memory allocating the raster of TIFF image \"%s\" "
                     "(%lu x %lu pixels)\n",
                     filename, static_cast<unsigned long>(w), static_cast<unsigned long>(h));
        std::exit(1);
    }
    // A decoder that gives up part-way leaves the rest of the raster
    // untouched: make that zero rather than whatever the allocator left.
    std::memset(raster, 0, static_cast<std::size_t>(raster_bytes));

    const int decoded = TIFFReadRGBAImageOriented(tif, w, h, raster, ORIENTATION_TOPLEFT, 0);
    TIFFClose(tif);
    if (decoded == 0) {
        _TIFFfree(raster);
        std::fprintf(stderr, "dispsmooth: cannot read TIFF image \"%s\": decoding failed\n",
                     filename);
        std::exit(1);
    }

    *pw = static_cast<int>(w);
    *ph = static_cast<int>(h);
    return raster;
}

}  // namespace dispsmooth
