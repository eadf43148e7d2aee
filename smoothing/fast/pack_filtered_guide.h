// The guide image of the fast smoothing in one pass: the 3x3 median of each
// channel of an RGB reference image, written straight into the compact rows
// of guide_rows.h (4 bytes per pixel: R, G, B, 0).
#ifndef DISPSMOOTH_SMOOTHING_FAST_PACK_FILTERED_GUIDE_H
#define DISPSMOOTH_SMOOTHING_FAST_PACK_FILTERED_GUIDE_H

#include <cstdint>

namespace dispsmooth {

// image_arr holds width * height pixels of 3 ints (R, G, B interleaved).
// packed has height rows of packed_row_bytes(width) bytes, allocated
// zero-filled by the caller; pixel x of row y at byte 4 x of row y receives
// the values median(width, height, channel, 1, ...) gives for its R, G and B
// and a 0 byte, and the padding stays 0.  Returns false and writes nothing
// unless every value of image_arr lies in 0..255.  A result that fails its
// order check ends the process through error_handler("median").
bool pack_filtered_guide(int width, int height, const int *image_arr, std::uint8_t *packed);

}  // namespace dispsmooth

#endif
