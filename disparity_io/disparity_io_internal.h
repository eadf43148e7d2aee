// The cores of the disparity files' readers and writers (16-bit PNG and
// TIFF, PFM), reporting a failure through a codec failure record instead of
// throwing, so that the PNG core may run between libpng's recovery point and
// its jumps.  Arrays are allocated with calloc and released with free().
#ifndef DISPSMOOTH_DISPARITY_IO_DISPARITY_IO_INTERNAL_H
#define DISPSMOOTH_DISPARITY_IO_DISPARITY_IO_INTERNAL_H

#include <cstdint>
#include <cstdio>

#include "common/codec_failure.h"

namespace dispsmooth::disparity_detail {

// What a reader returns: the first sample of each pixel, row 0 at the top.
struct samples16 {
    int width;
    int height;
    int bit_depth;
    std::uint16_t *pixels;  // width x height values, or null
};

// The most bytes of image data a compressed file can hold per byte of the
// file: deflate gives at most about 1032 bytes for one (a run of 258 bytes
// in two bits), LZW at most 4096 bytes for one 12-bit code.  A header that
// declares more than this times the file's size cannot be honest and is
// refused before anything is allocated.
inline constexpr std::uint64_t deflate_expansion_bound = 1100;
inline constexpr std::uint64_t any_compression_expansion_bound = 4096;

// The size of the open file fp in bytes, or -1 when it cannot be told (a
// pipe, a device).
long long stream_size(std::FILE *fp);

// True when a file of file_size bytes (-1: unknown) can hold
// declared_bytes of image data under at most expansion bytes per byte of
// the file.  Otherwise records a file failure naming the format and the
// figures.
bool declared_size_fits(const char *filename, const char *format, long long width, long long height,
                        std::uint64_t declared_bytes, long long file_size, std::uint64_t expansion,
                        codec_failure *failure);

// A PNG of any colour type and bit depth: the grey sample of each pixel,
// or the red one (of a palette entry too), as stored (16 bits at 16,
// unscaled below 8).
bool try_read_png16(const char *filename, samples16 *out, codec_failure *failure);

// A 16-bit grey PNG of width x height values (both above 0).
bool try_write_png16(const char *filename, int width, int height, const std::uint16_t *pixels,
                     codec_failure *failure);

// A striped TIFF of 8 or 16 bits per unsigned sample: the first sample of
// each pixel, as stored.
bool try_read_tiff16(const char *filename, samples16 *out, codec_failure *failure);

// A 16-bit grey, uncompressed TIFF of width x height values (both above 0).
bool try_write_tiff16(const char *filename, int width, int height, const std::uint16_t *pixels,
                      codec_failure *failure);

}  // namespace dispsmooth::disparity_detail

#endif
