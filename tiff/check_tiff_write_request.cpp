#include "tiff_internal.h"

#include "checked_alloc.h"

#include <cstdio>
#include <cstdlib>

namespace dispsmooth {

void check_tiff_write_request(const char *filename, int w, int h, int sampleperpixel) {
    if (sampleperpixel != 1 && sampleperpixel != 4) {
        std::fprintf(stderr,
                     "dispsmooth: cannot write TIFF image \"%s\": %d samples per pixel is not "
                     "supported (1 or 4)\n",
                     filename, sampleperpixel);
        std::exit(1);
    }
    if (w <= 0 || h <= 0) {
        std::fprintf(stderr, "dispsmooth: cannot write TIFF image \"%s\": invalid size %d x %d\n",
                     filename, w, h);
        std::exit(1);
    }
    if (!fits_int32(w, h, sampleperpixel)) {
        std::fprintf(stderr,
                     "dispsmooth: cannot write TIFF image \"%s\": %d x %d pixels is too large\n",
                     filename, w, h);
        std::exit(1);
    }
}

}  // namespace dispsmooth
