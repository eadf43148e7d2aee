// Disparity files as the stereo benchmarks store them, beside the tool's
// 8-bit readers and writers of <dispsmooth/dispsmooth.hpp> (which stay as
// they are):
// - 16-bit grey PNG and TIFF, read at full depth (KITTI's maps: disparity
//   x 256, 0 where there is none);
// - PFM, float32 (Middlebury, ETH3D, SceneFlow: infinity where there is
//   no disparity).
//
// Errors are those of the interface: a file that cannot be opened, read,
// decoded or written throws dispsmooth::file_error naming the file (with
// libpng's or libtiff's message on a line before it, where the library gave
// one); a request that cannot be met (an unknown extension, a wrong size)
// throws dispsmooth::error; a refused allocation std::bad_alloc.  A file
// whose header declares more pixels than its size could hold, or than the
// memory the process may still take, is refused before the pixels are
// allocated.  Writers replace a file of the same name only once the new one
// is complete, and leave no temporary file behind on failure.
#ifndef DISPSMOOTH_DISPARITY_IO_HPP
#define DISPSMOOTH_DISPARITY_IO_HPP

#include <cstdint>
#include <string>
#include <vector>

#include "dispsmooth/dispsmooth.hpp"

namespace dispsmooth {

// The size of one level of KITTI's 16-bit maps, in pixels: a stored value v
// is the disparity v / 256, and 0 marks a pixel without one.
inline constexpr double kitti_step = 1.0 / 256;

// The samples of a PNG or TIFF file as stored: width x height values,
// row-major, row 0 at the top.
struct uint16_image {
    int width = 0;
    int height = 0;
    // The file's bits per sample: 16 for KITTI's maps; 1, 2, 4 or 8 for
    // files of fewer bits, whose values are then below 2^bit_depth (not
    // scaled to 16 bits).
    int bit_depth = 16;
    std::vector<std::uint16_t> pixels;
};

// A PFM's values: width x height, row-major, row 0 at the top (the file
// stores its rows bottom to top; the reader and writer turn them).
struct float_image {
    int width = 0;
    int height = 0;
    std::vector<float> pixels;
};

// Reads a PNG (png, PNG) or TIFF (tif, TIF, tiff, TIFF) at full depth: the
// grey sample of each pixel, or the first sample (red) of a colour file; a
// palette file gives the red sample of each pixel's colour.  Alpha and
// transparency are ignored.  Another extension throws dispsmooth::error.
uint16_image read_uint16_image(const std::string &path);

// Writes a 16-bit grey PNG (png, PNG) or TIFF (tif, TIF, tiff, TIFF;
// uncompressed, one sample per pixel, min-is-black) of image's values.
// Throws dispsmooth::error before opening anything for another extension,
// an empty image, one larger than max_image_pixels, or pixels that do not
// match the size.
void write_uint16_image(const std::string &path, const uint16_image &image);

// Reads a PFM file whatever its name: "Pf" (grey) or "PF" (colour: its
// first channel), big-endian where the scale is positive and little-endian
// where it is negative.  Refused, as file_error: another magic, a header
// that is not three numbers, a size of 0 or above max_image_pixels, a
// scale of 0 or not finite, and data shorter than the header declares.
// Values are returned as stored: NaN and infinity stay as they are (the
// smoothing takes them as invalid).
float_image read_pfm(const std::string &path);

// Writes image as a grey PFM ("Pf"), little-endian (scale -1), rows bottom
// to top, whatever the name.  Throws dispsmooth::error before opening
// anything for an empty image, one larger than max_image_pixels, or pixels
// that do not match the size.
void write_pfm(const std::string &path, const float_image &image);

}  // namespace dispsmooth

#endif
