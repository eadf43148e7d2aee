#include "dispsmooth/tiff_codec.h"

#include "tiff/tiff_internal.h"

void write_tiff(const char *filename, const unsigned char *data, int w, int h, int sampleperpixel) {
    dispsmooth::codec_failure failure;
    if (!dispsmooth::tiff_detail::try_write_tiff(filename, data, w, h, sampleperpixel, &failure))
        dispsmooth::end_process_after(failure, false);
}
