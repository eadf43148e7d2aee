#include "tiff/tiff_internal.h"

#include "common/alloc.h"

#include <cstdio>
#include <cstdlib>

namespace dispsmooth {

bool check_tiff_write_request(const char *filename, int w, int h, int sampleperpixel,
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

}  // namespace dispsmooth
