// Steps shared by the TIFF readers and writers, and by the error-reporting
// interface.  The try_ functions report a failure through their
// codec_failure, having released everything (and removed an unfinished new
// file).
#ifndef DISPSMOOTH_TIFF_TIFF_INTERNAL_H
#define DISPSMOOTH_TIFF_TIFF_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "common/codec_failure.h"
#include "common/image_sink.h"

namespace dispsmooth::tiff_detail {

// Decodes filename through libtiff's RGBA interface into sink as 8-bit R,
// G, B, A rows, top row first, a band of strips or tiles at a time.  Images
// whose largest array in the sink would not fit a signed 32-bit int in
// bytes, and images above 2^28 pixels, are refused before anything is
// allocated.  A file that libtiff reports any error for while decoding is
// refused.  What the sink made is its owner's to release.
bool try_read_tiff(const char *filename, const image_sink *sink, codec_failure *failure);

// write_tiff, reporting a failure through *failure.  A write of w x h pixels
// of sampleperpixel samples is refused unless both sizes are positive, the
// byte count fits a signed 32-bit int and sampleperpixel is 1 (gray) or 4
// (RGB plus a fourth sample).
bool try_write_tiff(const char *filename, const unsigned char *data, int w, int h,
                    int sampleperpixel, codec_failure *failure);

// The packing shared by the writers: image_channels is 1 (gray, written as
// one sample per pixel) or 3 (RGB, written as four samples per pixel whose
// fourth is alpha_arr's value, or 255 when alpha_arr is null).  Each sample
// is the low 8 bits of its int.  Writes the file with try_write_tiff.
bool try_pack_and_write_tiff(const char *file_name, int width, int heigh, const int *image_arr,
                             int image_channels, const int *alpha_arr, codec_failure *failure);

}  // namespace dispsmooth::tiff_detail

#endif
