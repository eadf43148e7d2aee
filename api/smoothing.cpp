// The smoothing entry points of the interface: each argument checked, then
// the routine run under the call's settings.  smooth_map reads typed maps
// as levels (with invalid pixels and sub-pixel steps), smooths them with
// smooth_levels (smoothing/levels.h) and writes them back in their type.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>

#include "api/api_internal.h"
#include "common/buffer.h"
#include "dispsmooth/smoothing.h"
#include "smoothing/levels.h"

namespace dispsmooth {

void smooth(int width, int height, const int *image_arr, int *disp_arr, int min_d, int max_d,
            int radius, double sigma_space, double sigma_color, const smooth_options &options) {
    api::check_smoothing_parameters(min_d, max_d, radius, sigma_space, sigma_color);
    api::check_threads(options.threads);
    api::check_image_size(width, height);
    if (width == 0 || height == 0) return;
    if (image_arr == nullptr || disp_arr == nullptr)
        throw error(std::string("dispsmooth: the ") +
                    (image_arr == nullptr ? "reference image" : "disparity map") +
                    " array is a null pointer");
    api::check_disparity_range(width, height, disp_arr, min_d, max_d);

    // Nothing that the routine checks itself can fail any more; what is left
    // is a refused allocation, which the scope turns into std::bad_alloc.
    const api::call_scope scope(options);
    smooth_disparity_weighted_median(width, height, image_arr, disp_arr, min_d, max_d, radius,
                                     sigma_space, sigma_color);
    // A cancelled smoothing has left disp_arr as it was.
    if (scope.stopped()) throw cancelled();
}

gray_image smooth(const rgb_image &reference, const gray_image &disparity, int radius,
                  double sigma_space, double sigma_color, int min_d, int max_d,
                  const smooth_options &options) {
    api::check_smoothing_parameters(min_d, max_d, radius, sigma_space, sigma_color);
    api::check_threads(options.threads);
    api::check_same_size(reference.width, reference.height, disparity.width, disparity.height);
    api::check_image_size(disparity.width, disparity.height);

    const std::size_t n =
        static_cast<std::size_t>(disparity.width) * static_cast<std::size_t>(disparity.height);
    const std::string size =
        std::to_string(disparity.width) + "x" + std::to_string(disparity.height);
    if (reference.samples.size() != 3 * n)
        throw error("dispsmooth: reference image of " + size + " pixels holds " +
                    std::to_string(reference.samples.size()) + " samples; it must hold " +
                    std::to_string(3 * n) + " (R, G, B of each pixel)");
    if (disparity.pixels.size() != n)
        throw error("dispsmooth: disparity map of " + size + " pixels holds " +
                    std::to_string(disparity.pixels.size()) + " values; it must hold " +
                    std::to_string(n));

    gray_image result = disparity;
    smooth(result.width, result.height, reference.samples.data(), result.pixels.data(), min_d,
           max_d, radius, sigma_space, sigma_color, options);
    return result;
}

}  // namespace dispsmooth

static_assert(static_cast<std::size_t>(dispsmooth::max_distinct_levels) ==
              dispsmooth::max_ranked_levels);

namespace {

using dispsmooth::error;
using dispsmooth::level_options;

std::string number(double v) {
    char text[64];
    (void)std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

// The level nearest to q, halfway cases to the even one.  q - floor(q) is
// exact for every double, so the comparison with 0.5 decides without
// depending on the rounding mode.
double nearest_level(double q) {
    const double below = std::floor(q);
    const double rest = q - below;
    if (rest > 0.5) return below + 1;
    if (rest < 0.5) return below;
    return std::fmod(below, 2.0) == 0 ? below : below + 1;
}

std::string where(std::size_t p, int width) {
    return " at row " + std::to_string(p / static_cast<std::size_t>(width)) + ", column " +
           std::to_string(p % static_cast<std::size_t>(width));
}

std::string outside(const level_options &levels) {
    return " is outside min_d..max_d = " + std::to_string(levels.min_d) + ".." +
           std::to_string(levels.max_d) + " (FATAL ERROR in weighted_histo)";
}

template <class T>
void smooth_typed(int width, int height, const std::uint8_t *reference, T *disparity, int radius,
                  double sigma_space, double sigma_color, const level_options &levels,
                  const dispsmooth::smooth_options &options) {
    namespace api = dispsmooth::api;
    constexpr bool floating = std::is_floating_point_v<T>;
    api::check_smoothing_parameters(levels.min_d, levels.max_d, radius, sigma_space, sigma_color);
    api::check_threads(options.threads);
    api::check_image_size(width, height);
    if (floating) {
        if (!(levels.step > 0) || !std::isfinite(levels.step))
            throw error("dispsmooth: step is " + number(levels.step) +
                        "; a floating-point disparity map needs step, the size of one level, "
                        "a finite number above 0");
    } else if (levels.step != 0) {
        throw error("dispsmooth: step is " + number(levels.step) +
                    "; an integer disparity map holds its levels themselves and takes step 0");
    }
    if (width == 0 || height == 0) return;
    if (reference == nullptr || disparity == nullptr)
        throw error(std::string("dispsmooth: the ") +
                    (reference == nullptr ? "reference image" : "disparity map") +
                    " array is a null pointer");

    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    // From here on a refused allocation throws std::bad_alloc with the
    // library's message.
    const api::call_scope scope(options);
    auto disp_arr = dispsmooth::allocate_buffer<int>(n, "disparity levels");
    auto valid = dispsmooth::allocate_buffer<std::uint8_t>(n, "validity mask");
    bool any_invalid = false;
    for (std::size_t p = 0; p < n; ++p) {
        const T v = disparity[p];
        bool ok = levels.mask == nullptr || levels.mask[p] != 0;
        if (levels.invalid && static_cast<double>(v) == *levels.invalid) ok = false;
        if constexpr (floating) {
            if (!std::isfinite(v)) ok = false;
        }
        if (!ok) {
            any_invalid = true;
            continue;
        }
        valid[p] = 1;
        if constexpr (floating) {
            const double level = nearest_level(static_cast<double>(v) / levels.step);
            if (!(level >= levels.min_d && level <= levels.max_d))
                throw error("dispsmooth: disparity " + number(static_cast<double>(v)) + " (level " +
                            number(level) + " of step " + number(levels.step) + ")" +
                            where(p, width) + outside(levels));
            disp_arr[p] = static_cast<int>(level);
        } else {
            const long long level = v;
            if (level < levels.min_d || level > levels.max_d)
                throw error("dispsmooth: disparity " + std::to_string(level) + where(p, width) +
                            outside(levels));
            disp_arr[p] = static_cast<int>(level);
        }
    }

    // The library's routines take the reference as ints.
    auto image_arr = dispsmooth::allocate_buffer<int>(3 * n, "reference image");
    std::copy(reference, reference + 3 * n, image_arr.get());
    const bool smoothed = dispsmooth::smooth_levels(
        width, height, image_arr.get(), disp_arr.get(), any_invalid ? valid.get() : nullptr,
        levels.min_d, levels.max_d, radius, sigma_space, sigma_color, levels.fill);
    // A cancelled smoothing has left disp_arr as it was: nothing is written.
    if (scope.stopped()) throw dispsmooth::cancelled();
    if (!smoothed)
        throw error("dispsmooth: the disparity map holds more than " +
                    std::to_string(dispsmooth::max_distinct_levels) +
                    " distinct valid levels, the most one map may hold" +
                    (floating ? " (a larger step gives fewer)" : ""));
    for (std::size_t p = 0; p < n; ++p) {
        // Left invalid: keeps its value.
        if (valid[p] == 0) continue;
        if constexpr (floating)
            disparity[p] = static_cast<T>(static_cast<double>(disp_arr[p]) * levels.step);
        else
            // A level of the map itself, which T holds.
            disparity[p] = static_cast<T>(disp_arr[p]);
    }
}

}  // namespace

namespace dispsmooth {

void smooth_map(int width, int height, const std::uint8_t *reference, std::uint8_t *disparity,
                int radius, double sigma_space, double sigma_color, const level_options &levels,
                const smooth_options &options) {
    smooth_typed(width, height, reference, disparity, radius, sigma_space, sigma_color, levels,
                 options);
}

void smooth_map(int width, int height, const std::uint8_t *reference, std::uint16_t *disparity,
                int radius, double sigma_space, double sigma_color, const level_options &levels,
                const smooth_options &options) {
    smooth_typed(width, height, reference, disparity, radius, sigma_space, sigma_color, levels,
                 options);
}

void smooth_map(int width, int height, const std::uint8_t *reference, std::int16_t *disparity,
                int radius, double sigma_space, double sigma_color, const level_options &levels,
                const smooth_options &options) {
    smooth_typed(width, height, reference, disparity, radius, sigma_space, sigma_color, levels,
                 options);
}

void smooth_map(int width, int height, const std::uint8_t *reference, std::int32_t *disparity,
                int radius, double sigma_space, double sigma_color, const level_options &levels,
                const smooth_options &options) {
    smooth_typed(width, height, reference, disparity, radius, sigma_space, sigma_color, levels,
                 options);
}

void smooth_map(int width, int height, const std::uint8_t *reference, float *disparity, int radius,
                double sigma_space, double sigma_color, const level_options &levels,
                const smooth_options &options) {
    smooth_typed(width, height, reference, disparity, radius, sigma_space, sigma_color, levels,
                 options);
}

void smooth_map(int width, int height, const std::uint8_t *reference, double *disparity, int radius,
                double sigma_space, double sigma_color, const level_options &levels,
                const smooth_options &options) {
    smooth_typed(width, height, reference, disparity, radius, sigma_space, sigma_color, levels,
                 options);
}

}  // namespace dispsmooth
