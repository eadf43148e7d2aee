// Private to the PNG codec and the error-reporting interface: the decode and
// the write sequence that the tool's routines are built over, reporting a
// failure to the caller instead of ending the process.
#ifndef DISPSMOOTH_PNG_PNG_INTERNAL_H
#define DISPSMOOTH_PNG_PNG_INTERNAL_H

#include "common/codec_failure.h"
#include "common/image_sink.h"

namespace dispsmooth::png_detail {

// Decodes filename row by row into sink as 8-bit R, G, B, A.  On any
// failure releases what it holds, fills *failure and returns false; what
// the sink made is its owner's to release.
bool try_read_png(const char *filename, const image_sink *sink, codec_failure *failure);

// Fills image row y (width pixels) of the file being written: row holds the
// bytes_per_pixel * width bytes of that row, which the step sets from the
// caller's arrays reached through pixels.  Plain function pointer and
// pointer context, so that nothing with a destructor is needed between the
// writer's recovery point and its return.
using png_row_fill = void (*)(unsigned char *row, int y, int width, const void *pixels);

// Writes a non-interlaced PNG of colour type color_type and bit_depth bits
// a sample (2 and 8 for truecolour, bytes_per_pixel 3; 6 and 8 for
// truecolour with alpha, 4; 0 and 16 for 16-bit grey, 2, each sample
// filled high byte first) to filename, one row at a time filled by fill.
// On any failure, libpng's included, releases everything, removes the
// unfinished new file, fills *failure and returns false.
bool try_write_png_rows(const char *filename, int width, int height, int color_type, int bit_depth,
                        int bytes_per_pixel, png_row_fill fill, const void *pixels,
                        codec_failure *failure);

}  // namespace dispsmooth::png_detail

#endif
