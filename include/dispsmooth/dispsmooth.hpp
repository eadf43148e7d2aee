// The error-reporting C++ interface of dispsmooth, for programs that must
// survive bad input: every refusal is a dispsmooth::error, every refused
// allocation a std::bad_alloc, and the process is never ended.
//
// It checks the inputs before any work, then runs the very routine the tool
// runs (smooth_disparity_weighted_median of <dispsmooth/smoothing.h>), so
// its results are the tool's to the last bit.
//
// Messages.  Each refusal carries the words of the tool where the tool or
// the routine it runs has a message for the same condition:
// - where the routine would end the process through its fatal-error report,
//   the message explains the condition and ends with that report in
//   parentheses, for example
//     dispsmooth: sigma_space is 0; each sigma must be a number whose square
//     is not 0 (FATAL ERROR in median_histo)
// - two images of different sizes give the tool's message without the file
//   names: "dispsmooth: reference image is 40x30 but disparity map is 41x30;
//   they must have the same size";
// - a refused allocation gives the tool's "dispsmooth: out of memory
//   allocating <what> (<count> x <size> bytes)" as the std::bad_alloc's
//   what(), where the library's own allocations are refused.
#ifndef DISPSMOOTH_DISPSMOOTH_HPP
#define DISPSMOOTH_DISPSMOOTH_HPP

#include <atomic>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace dispsmooth {

// A refused input or parameter.  what() is the whole message (see above).
class error : public std::runtime_error {
public:
    explicit error(const std::string &message);
    ~error() override;
};

// The largest image taken, in pixels: 2^28 (16384 x 16384), the readers'
// bound.
inline constexpr long long max_image_pixels = 1LL << 28;

// The most threads one call may ask for.  The default count (threads = 0)
// is bounded by the same number.
inline constexpr int max_threads = 1024;

// The smoothing was stopped through smooth_options::cancel; the map passed
// in is unchanged.
class cancelled : public std::runtime_error {
public:
    cancelled();
    ~cancelled() override;
};

struct smooth_options {
    // Threads for this call only: 1..max_threads, or 0 for the default (the
    // first value of OMP_NUM_THREADS where it is a whole number of 1 or more,
    // else one per processor the process may run on; at most max_threads).
    // Threads are started for the call and joined before it returns, so a
    // forked child may smooth as its parent did; a thread that cannot be
    // created is done without.  The result does not depend on the count.
    int threads = 0;
    // Draw the tool's progress indicator on standard error (only where
    // standard error is a terminal, as the tool does).
    bool progress = false;
    // When not null: set to true by another thread (a signal handler's
    // helper, a user interface), the smoothing stops between batches of
    // rows and the call throws dispsmooth::cancelled, leaving the map as it
    // was.  Looked at a few times a second at the least.
    const std::atomic<bool> *cancel = nullptr;
};

// An RGB image: width x height pixels, row-major, three samples (R, G, B)
// per pixel, so samples.size() == 3 * width * height.
struct rgb_image {
    int width = 0;
    int height = 0;
    std::vector<int> samples;
};

// A gray image (a disparity map): width x height values, row-major.
struct gray_image {
    int width = 0;
    int height = 0;
    std::vector<int> pixels;
};

// smooth_disparity_weighted_median(width, height, image_arr, disp_arr, min_d,
// max_d, radius, sigma_space, sigma_color), the same result in disp_arr,
// after these checks, in this order, each a dispsmooth::error:
// - radius below 0;
// - sigma_space or sigma_color 0, not a number, or with a square of 0;
// - min_d greater than max_d;
// - options.threads outside 0..max_threads;
// - width or height below 0, or more than max_image_pixels pixels;
// - a null array for an image with pixels;
// - a disparity outside min_d..max_d (the first in row-major order is named).
// The parameters are checked whatever the image size.  An image with no
// pixels then leaves disp_arr as it was.  Nothing is changed when a check
// fails; a std::bad_alloc leaves disp_arr unchanged too.
void smooth(int width, int height, const int *image_arr, int *disp_arr, int min_d, int max_d,
            int radius, double sigma_space, double sigma_color, const smooth_options &options = {});

// The same on two images with sizes of their own: returns the smoothed
// disparity map.  Besides the checks above, refuses images of different
// sizes, and images whose sample or pixel count does not match their width
// and height.
gray_image smooth(const rgb_image &reference, const gray_image &disparity, int radius,
                  double sigma_space, double sigma_color, int min_d = 0, int max_d = 255,
                  const smooth_options &options = {});

// Disparity maps as stereo matchers write them: integer levels in any
// range, invalid pixels, sub-pixel steps.
//
// A map is read as levels: an integer map's values are its levels; a
// floating-point map's value v is the level nearest to v / step (computed
// in double; a quotient halfway between two levels takes the even one,
// whatever the floating-point rounding mode).  A pixel is invalid where the
// mask is 0, where its value equals invalid, and, in a floating-point map,
// where it is not a number or infinite.  Every valid level must lie in
// min_d..max_d; invalid pixels may hold anything.
struct level_options {
    int min_d = 0;
    int max_d = 255;
    // width x height bytes, 0 for an invalid pixel; null: no mask.
    const std::uint8_t *mask = nullptr;
    // The value that marks invalid pixels (0 for KITTI's maps, a negative
    // one for a semi-global matcher's), compared with each value as a
    // double.
    std::optional<double> invalid;
    // Give every invalid pixel the weighted median of the valid pixels of
    // its window (it stays as it was where they weigh nothing in all).
    bool fill = false;
    // The size of one level in disparity units (1/16, 1/256, ...): needed
    // by floating-point maps, a finite number above 0; integer maps take 0.
    double step = 0;
};

// The most distinct valid levels a map may hold (4194304): the smoothing's
// histograms have one bin per distinct level, whatever min_d..max_d is.
inline constexpr long long max_distinct_levels = 1LL << 22;

// Smooths the width x height map disparity in place, guided by reference
// (width x height pixels of 3 bytes, R, G, B): each valid pixel receives the
// weighted median of the valid pixels of its window, with the weights, sums,
// search and tie rule of smooth_disparity_weighted_median, the invalid ones
// adding nothing; an invalid pixel keeps its value, unless levels.fill asks
// to fill it (see level_options).  Results are written back as levels (an
// integer map) or level x step (a floating-point map, rounded to its type).
// With no invalid pixel the result is the tool's routine's.  Checks, each a
// dispsmooth::error before any work: those of smooth above (a valid level
// outside min_d..max_d is named with its row and column), a step that does
// not suit the map, and a map of more than max_distinct_levels distinct
// valid levels.  Nothing is changed when a check fails, nor when the call is
// cancelled (options.cancel), which throws dispsmooth::cancelled.
void smooth_map(int width, int height, const std::uint8_t *reference, std::uint8_t *disparity,
                int radius, double sigma_space, double sigma_color,
                const level_options &levels = {}, const smooth_options &options = {});
void smooth_map(int width, int height, const std::uint8_t *reference, std::uint16_t *disparity,
                int radius, double sigma_space, double sigma_color,
                const level_options &levels = {}, const smooth_options &options = {});
void smooth_map(int width, int height, const std::uint8_t *reference, std::int16_t *disparity,
                int radius, double sigma_space, double sigma_color,
                const level_options &levels = {}, const smooth_options &options = {});
void smooth_map(int width, int height, const std::uint8_t *reference, std::int32_t *disparity,
                int radius, double sigma_space, double sigma_color,
                const level_options &levels = {}, const smooth_options &options = {});
void smooth_map(int width, int height, const std::uint8_t *reference, float *disparity, int radius,
                double sigma_space, double sigma_color, const level_options &levels = {},
                const smooth_options &options = {});
void smooth_map(int width, int height, const std::uint8_t *reference, double *disparity, int radius,
                double sigma_space, double sigma_color, const level_options &levels = {},
                const smooth_options &options = {});

// Reading and writing images with the tool's codecs, chosen by the text
// after the file name's last "." exactly as the tool chooses them: tiff,
// TIFF, tif, TIF, png, PNG, jpeg, JPEG, jpg, JPG.
//
// Every failure throws and leaves the process running; nothing is written
// to standard error.  A name with another extension throws dispsmooth::error
// with the tool's two lines ("Filename extension for <name> not
// recognized!" and the supported list).  A file that cannot be opened, read,
// decoded or written throws dispsmooth::file_error whose what() holds the
// library's own message, where libpng, libjpeg or libtiff gave one (as its
// default handler would have printed it), then, on a line of its own, the
// tool's message naming the file, for example
//   libpng error: Not a PNG file
//   dispsmooth: cannot read PNG image "left.png"
// The libraries' warnings are dropped.  A refused allocation throws
// std::bad_alloc.  A failed write leaves no temporary file behind and the
// previous file of that name as it was.

// A file that cannot be opened, read, decoded or written.
class file_error : public error {
public:
    explicit file_error(const std::string &message);
    ~file_error() override;
};

// The tool's RGB reader for path's extension (alpha dropped; a gray file
// reads with R = G = B).
rgb_image read_rgb_image(const std::string &path);

// The tool's gray reader for path's extension: the red sample of each pixel.
gray_image read_gray_image(const std::string &path);

// The tool's gray writer for path's extension: the low 8 bits of each value,
// as R = G = B for PNG and JPEG (quality 85) and as one 8-bit sample for
// TIFF.  Throws dispsmooth::error before opening anything for an image
// whose pixel count does not match its size or that is larger than
// max_image_pixels; the codec refuses an empty one.
void write_image(const std::string &path, const gray_image &image);

}  // namespace dispsmooth

#endif
