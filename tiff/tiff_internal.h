// Steps shared by the TIFF readers and writers, and by the error-reporting
// interface.  The try_ functions report a failure through their
// codec_failure, having released everything (and removed an unfinished new
// file); read_tiff_raster ends the process with the failure's message (exit
// status 1) instead.
#ifndef DISPSMOOTH_TIFF_TIFF_INTERNAL_H
#define DISPSMOOTH_TIFF_TIFF_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "common/codec_failure.h"

namespace dispsmooth::tiff_detail {

// Decodes the whole of filename through libtiff's RGBA interface into a
// zero-filled raster of *pw x *ph words, row 0 at the top; red is bits 0-7,
// green 8-15, blue 16-23, alpha 24-31.  array_bytes_per_pixel is what the
// caller's arrays need per pixel (4 for gray or alpha, 12 for RGB): images
// whose array size would not fit a signed 32-bit int, and images above 2^28
// pixels, are refused before anything is allocated.  A file that libtiff
// reports any error for while decoding is refused.  Release the raster with
// free().
std::uint32_t *try_read_tiff_raster(const char *filename, int array_bytes_per_pixel, int *pw,
                                    int *ph, codec_failure *failure);

// try_read_tiff_raster for the tool's readers: a failure ends the process.
std::uint32_t *read_tiff_raster(const char *filename, int array_bytes_per_pixel, int *pw, int *ph);

// rgb[3p], rgb[3p + 1] and rgb[3p + 2] = the red, green and blue samples of
// raster[p], for every p < pixels; alpha is dropped.
void fill_rgb_from_raster(std::size_t pixels, const std::uint32_t *raster, int *rgb);

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
