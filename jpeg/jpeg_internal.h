// Private to the JPEG codec and the error-reporting interface: the decode
// and encode that the tool's routines are built over, reporting a failure
// to the caller instead of ending the process.
#ifndef DISPSMOOTH_JPEG_JPEG_INTERNAL_H
#define DISPSMOOTH_JPEG_JPEG_INTERNAL_H

#include "common/codec_failure.h"
#include "common/image_sink.h"

namespace dispsmooth::jpeg_detail {

// Decodes filename row by row into sink as 8-bit R, G, B (a greyscale file
// with R = G = B).  On any failure releases what it holds, fills *failure
// and returns false; what the sink made is its owner's to release.
bool try_read_jpeg(const char *filename, const image_sink *sink, codec_failure *failure);

// Writes the width x height RGB image (the low 8 bits of each sample) as a
// quality 85 JPEG.  On any failure releases everything, removes the
// unfinished new file, fills *failure and returns false.  A failure the
// library reports has only the library's message: failure->message is then
// empty.
bool try_write_jpeg_rgb(const char *filename, int width, int height, const int *image_arr,
                        codec_failure *failure);

}  // namespace dispsmooth::jpeg_detail

#endif
