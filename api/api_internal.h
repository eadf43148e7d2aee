// The checks, the per-call settings and the codec failures behind the
// error-reporting interface (dispsmooth/dispsmooth.hpp), shared with the
// Python module.  Every check throws dispsmooth::error with the message that
// dispsmooth.hpp describes.  The Python module sees only the interface's
// public header and this folder: nothing here includes a codec or common
// header.
#ifndef DISPSMOOTH_API_API_INTERNAL_H
#define DISPSMOOTH_API_API_INTERNAL_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "dispsmooth/dispsmooth.hpp"

namespace dispsmooth {

// A codec's failure record (common/codec_failure.h).
struct codec_failure;

}  // namespace dispsmooth

namespace dispsmooth::api {

// The parameters of one smoothing: radius at least 0, each sigma a number
// whose square is not 0, min_d <= max_d.
void check_smoothing_parameters(int min_d, int max_d, int radius, double sigma_space,
                                double sigma_color);

// options.threads in 0..max_threads.
void check_threads(int threads);

// Two images of one size, for the smoothing's reference image and
// disparity map (width x height each).
void check_same_size(long long reference_width, long long reference_height,
                     long long disparity_width, long long disparity_height);

// width and height at least 0, width * height at most max_image_pixels.
void check_image_size(long long width, long long height);

// Every disparity of the width x height map (valid sizes) in min_d..max_d.
void check_disparity_range(int width, int height, const int *disp_arr, int min_d, int max_d);

// The settings of one call on the calling thread, restored when it ends:
// refused allocations throw std::bad_alloc (at the caller's OpenMP level
// only), the progress indicator is drawn only when asked for, and the
// OpenMP thread count is options.threads when that is not 0.
class call_scope {
public:
    explicit call_scope(const smooth_options &options);
    ~call_scope();
    call_scope(const call_scope &) = delete;
    call_scope &operator=(const call_scope &) = delete;
    // True when the routine called in the scope stopped at the cancel flag
    // and left its output as it was.
    bool stopped() const;

private:
    bool saved_throw_;
    bool saved_progress_;
    int saved_threads_;
    const std::atomic<bool> *saved_cancel_;
};

// Throws what a codec's failure calls for: std::bad_alloc for an
// allocation, dispsmooth::error for a request the codec refuses,
// dispsmooth::file_error otherwise, with the library's message and the
// codec's, one line each.
[[noreturn]] void throw_codec_failure(const codec_failure &failure);

// An image as 8-bit samples, channels to a pixel, row by row.
struct byte_image {
    int width = 0;
    int height = 0;
    int channels = 0;
    std::vector<std::uint8_t> samples;
};

// The tool's reader for path's extension, decoding straight into 8-bit
// samples: channels 3 for R, G, B (alpha dropped), 1 for the red sample, as
// read_rgb_image and read_gray_image read them.  Throws as they do.
byte_image read_byte_image(const std::string &path, int channels);

}  // namespace dispsmooth::api

#endif
