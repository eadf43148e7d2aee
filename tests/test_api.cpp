// The error-reporting interface (dispsmooth/dispsmooth.hpp): its refusals
// carry the tool's messages and come before any work, its results are the
// routine's, and a refused allocation is a std::bad_alloc rather than the
// end of the process -- while the routines themselves, as the tool runs
// them, still end it.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "api/api_internal.h"
#include "common/alloc.h"
#include "common/call_settings.h"
#include "common/parallel.h"
#include "dispsmooth/dispsmooth.hpp"
#include "dispsmooth/png_codec.h"
#include "dispsmooth/smoothing.h"
#include "tests/helpers.h"
#include "tests/support.h"

namespace {

using test_support::refusal;

using ivec = std::vector<int>;
using test_support::run_result;
using test_support::run_tool;
using test_support::temp_dir;

using test_support::random_ints;

// A small scene for the tool in dir: reference.png (w x h) and
// disparity.png (dw x dh), then the parameter file.
void write_scene(const temp_dir &dir, int w, int h, int dw, int dh, const std::string &params) {
    const ivec rgb = random_ints(3 * static_cast<std::size_t>(w) * h, 0, 255, 1);
    const ivec disp = random_ints(static_cast<std::size_t>(dw) * dh, 0, 255, 2);
    write_rgb_image_arr_into_png((dir / "reference.png").c_str(), w, h, rgb.data());
    write_image_arr_into_png((dir / "disparity.png").c_str(), dw, dh, disp.data());
    test_support::write_parameter_file(dir.path(),
                                       "reference.png disparity.png " + params + " out.png\n");
}

// Runs allocate on the calling thread inside a parallel region, during an
// interface call.
template <class F>
void allocate_in_parallel_region(const F &allocate) {
    const dispsmooth::api::call_scope scope(dispsmooth::smooth_options{});
    dispsmooth::run_on_threads(2, [&](int thread) {
        if (thread == 0) allocate();
    });
}

}  // namespace

// For each condition the tool reports, the exception carries its words:
// the routine's fatal report in parentheses, or the tool's size message
// without the file names.
TEST(Api, MessagesCarryWhatTheToolPrints) {
    const int w = 8, h = 6;
    const ivec rgb = random_ints(3 * w * h, 0, 255, 1);
    const ivec disp(w * h, 5);
    struct fatal_case {
        std::string params;
        int radius;
        double sigma_space, sigma_color;
    } cases[] = {{"2 0 20", 2, 0, 20}, {"2 9 0", 2, 9, 0}, {"-1 9 20", -1, 9, 20}};
    for (const fatal_case &c : cases) {
        temp_dir dir;
        write_scene(dir, w, h, w, h, c.params);
        const run_result r = run_tool(dir.path());
        ASSERT_FALSE(r.exited) << c.params;
        ASSERT_EQ(r.err, "FATAL ERROR in median_histo\n") << c.params;
        ivec d = disp;
        const std::string message = refusal([&] {
            dispsmooth::smooth(w, h, rgb.data(), d.data(), 0, 255, c.radius, c.sigma_space,
                               c.sigma_color);
        });
        EXPECT_TRUE(message.ends_with(" (FATAL ERROR in median_histo)")) << message;
        EXPECT_EQ(d, disp);
    }

    temp_dir dir;
    write_scene(dir, 40, 30, 41, 30, "2 9 20");
    const run_result r = run_tool(dir.path());
    ASSERT_TRUE(r.exited && r.exit_status == 1);
    const std::string without_names = std::regex_replace(r.err, std::regex(" \"[^\"]*\""), "");
    dispsmooth::rgb_image reference{40, 30, ivec(3 * 40 * 30, 0)};
    dispsmooth::gray_image disparity{41, 30, ivec(41 * 30, 0)};
    EXPECT_EQ(refusal([&] { dispsmooth::smooth(reference, disparity, 2, 9, 20); }) + "\n",
              without_names);
}

// Every refusal leaves the map untouched.  The too-large and negative sizes
// come with one-pixel arrays, so a read before the check would be caught by
// the address sanitizer.
TEST(Api, RefusesWrongInputsBeforeAnyWork) {
    const int w = 8, h = 6;
    const ivec rgb = random_ints(3 * w * h, 0, 255, 3);
    ivec disp(w * h, 7);
    disp[13] = 300;  // row 1, column 5
    const ivec before = disp;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct wrong_call {
        int width, height, min_d, max_d, radius;
        double sigma_space, sigma_color;
        int threads;
        std::string message;
    } cases[] = {
        {w, h, 0, 400, -1, 9, 20, 0,
         "dispsmooth: radius is -1; it must be 0 or more (FATAL ERROR in median_histo)"},
        {w, h, 0, 400, 2, 0, 20, 0,
         "dispsmooth: sigma_space is 0; each sigma must be a number whose square is not 0 "
         "(FATAL ERROR in median_histo)"},
        {w, h, 0, 400, 2, 9, nan, 0,
         "dispsmooth: sigma_color is nan; each sigma must be a number whose square is not 0 "
         "(FATAL ERROR in median_histo)"},
        {w, h, 0, 400, 2, 9, -1e-170, 0,
         "dispsmooth: sigma_color is -1e-170, whose square is 0; each sigma must be a number "
         "whose square is not 0 (FATAL ERROR in median_histo)"},
        {w, h, 401, 400, 2, 9, 20, 0,
         "dispsmooth: min_d 401 is greater than max_d 400; the disparity range min_d..max_d "
         "must hold at least one value (FATAL ERROR in weighted_median)"},
        {w, h, 0, 400, 2, 9, 20, -1,
         "dispsmooth: threads is -1; it must be 1..1024, or 0 for the default"},
        {w, h, 0, 400, 2, 9, 20, 1025,
         "dispsmooth: threads is 1025; it must be 1..1024, or 0 for the default"},
        {-8, h, 0, 400, 2, 9, 20, 0,
         "dispsmooth: an image of -8 x 6 pixels is impossible; width and height must not be "
         "negative"},
        {16385, 16384, 0, 400, 2, 9, 20, 0,
         "dispsmooth: 16385 x 16384 pixels is too large (at most 268435456 pixels, 16384 x "
         "16384)"},
        {INT_MAX, INT_MAX, 0, 400, 2, 9, 20, 0,
         "dispsmooth: 2147483647 x 2147483647 pixels is too large (at most 268435456 pixels, "
         "16384 x 16384)"},
        {w, h, 0, 255, 2, 9, 20, 0,
         "dispsmooth: disparity 300 at row 1, column 5 is outside min_d..max_d = 0..255 "
         "(FATAL ERROR in weighted_histo)"},
    };
    const int threads_before = dispsmooth::thread_count_for_call();
    for (const wrong_call &c : cases) {
        dispsmooth::smooth_options options;
        options.threads = c.threads;
        EXPECT_EQ(refusal([&] {
                      dispsmooth::smooth(c.width, c.height, rgb.data(), disp.data(), c.min_d,
                                         c.max_d, c.radius, c.sigma_space, c.sigma_color, options);
                  }),
                  c.message);
        EXPECT_EQ(disp, before);
        EXPECT_EQ(dispsmooth::thread_count_for_call(), threads_before);
    }
    // The parameters are checked whatever the image size, the arrays only
    // when there are pixels.
    EXPECT_NE(refusal([&] { dispsmooth::smooth(0, 0, nullptr, nullptr, 0, 255, 2, 0, 20); }), "");
    EXPECT_EQ(refusal([&] { dispsmooth::smooth(0, 5, nullptr, nullptr, 0, 255, 2, 9, 20); }), "");
    EXPECT_EQ(refusal([&] { dispsmooth::smooth(w, h, nullptr, disp.data(), 0, 400, 2, 9, 20); }),
              "dispsmooth: the reference image array is a null pointer");
    EXPECT_EQ(refusal([&] { dispsmooth::smooth(w, h, rgb.data(), nullptr, 0, 400, 2, 9, 20); }),
              "dispsmooth: the disparity map array is a null pointer");

    // The images' own sizes.
    const dispsmooth::rgb_image reference{w, h, rgb};
    EXPECT_EQ(
        refusal([&] {
            dispsmooth::smooth({w, h, ivec(rgb.size() - 1)}, {w, h, before}, 2, 9, 20, 0, 400);
        }),
        "dispsmooth: reference image of 8x6 pixels holds 143 samples; it must hold 144 "
        "(R, G, B of each pixel)");
    EXPECT_EQ(refusal([&] {
                  dispsmooth::smooth(reference, {w, h, ivec(47)}, 2, 9, 20, 0, 400);
              }),
              "dispsmooth: disparity map of 8x6 pixels holds 47 values; it must hold 48");
    EXPECT_EQ(refusal([&] {
                  dispsmooth::smooth(reference, {w, h - 1, ivec(40)}, 2, 9, 20);
              }),
              "dispsmooth: reference image is 8x6 but disparity map is 8x5; they must have the "
              "same size");
}

// The results are smooth_disparity_weighted_median's, for every thread
// count, on the example scene and on 12-bit maps (against the
// straightforward routines too); the caller's thread setting is restored.
TEST(Api, ResultsAreTheRoutines) {
    const std::string scene = std::string(DISPSMOOTH_SOURCE_DIR) + "/examples/scene/";
    int w = 0, h = 0, dw = 0, dh = 0;
    int *rgb = nullptr, *disp = nullptr;
    read_png_into_rgb_image_arr((scene + "reference.png").c_str(), &w, &h, &rgb);
    read_png_into_image_arr((scene + "disparity.png").c_str(), &dw, &dh, &disp);
    ASSERT_TRUE(w == dw && h == dh);
    const dispsmooth::rgb_image reference{w, h, ivec(rgb, rgb + 3 * w * h)};
    const dispsmooth::gray_image disparity{w, h, ivec(disp, disp + w * h)};
    std::free(rgb);
    std::free(disp);

    ivec expected = disparity.pixels;
    smooth_disparity_weighted_median(w, h, reference.samples.data(), expected.data(), 0, 255, 9, 9,
                                     20);
    ASSERT_NE(expected, disparity.pixels);
    const int threads_before = dispsmooth::thread_count_for_call();
    for (int threads : {1, 2, 0}) {
        dispsmooth::smooth_options options;
        options.threads = threads;
        ivec d = disparity.pixels;
        dispsmooth::smooth(w, h, reference.samples.data(), d.data(), 0, 255, 9, 9, 20, options);
        EXPECT_EQ(d, expected) << threads;
        const dispsmooth::gray_image out =
            dispsmooth::smooth(reference, disparity, 9, 9, 20, 0, 255, options);
        EXPECT_TRUE(out.width == w && out.height == h && out.pixels == expected) << threads;
        EXPECT_EQ(dispsmooth::thread_count_for_call(), threads_before);
    }

    const int tw = 70, th = 50;
    const ivec image = random_ints(3 * tw * th, 0, 255, 5);
    ivec twelve_bit = random_ints(tw * th, 0, 4095, 6);
    for (int p = 0; p < tw * th; p += 3) twelve_bit[p] = 2000 + p % 7;  // some agreement
    ivec straightforward = twelve_bit;
    smooth_disparity_weighted_median_reference(tw, th, image.data(), straightforward.data(), 0,
                                               4095, 4, 6, 30);
    for (int threads : {1, 2}) {
        ivec d = twelve_bit;
        dispsmooth::smooth(tw, th, image.data(), d.data(), 0, 4095, 4, 6, 30, {threads, false});
        EXPECT_EQ(d, straightforward) << threads;
    }
}

// The library's checked allocation throws only on the thread and at the
// level of an interface call; everywhere else, the tool's way.
TEST(Api, CheckedAllocationThrowsOnlyForTheInterface) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::size_t huge = std::numeric_limits<std::size_t>::max() / 2 + 1;  // x 2 overflows
    const auto allocate = [&] {
        std::free(dispsmooth::checked_calloc(huge, 2, "test block",
                                             dispsmooth::on_failure::exit_status_1));
    };
    {
        const dispsmooth::api::call_scope scope(dispsmooth::smooth_options{});
        try {
            allocate();
            ADD_FAILURE() << "no exception";
        } catch (const std::bad_alloc &e) {
            EXPECT_EQ(std::string(e.what()), "dispsmooth: out of memory allocating test block (" +
                                                 std::to_string(huge) + " x 2 bytes)");
        }
    }
    const std::string message = "^dispsmooth: out of memory allocating test block";
    EXPECT_EXIT(allocate(), testing::ExitedWithCode(1), message);
    // Inside a parallel region that the routines would open, no exception
    // may leave: the process ends as the tool's would.
    EXPECT_EXIT(allocate_in_parallel_region(allocate), testing::ExitedWithCode(1), message);
}

// A smoothing whose histogram cannot be allocated (a range of 2^32
// disparities, 32 GiB, under a 2 GiB address-space limit) throws
// std::bad_alloc, leaves the map as it was, and the next call works.
TEST(Api, RefusedAllocationIsBadAlloc) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer ends the process on a refused allocation";
#else
    const int w = 4, h = 4;
    const ivec rgb(3 * w * h, 9);
    ivec disp(w * h, 1);
    struct rlimit saved;
    getrlimit(RLIMIT_AS, &saved);
    struct rlimit limited = saved;
    limited.rlim_cur = 2ull << 30;
    setrlimit(RLIMIT_AS, &limited);
    std::string what;
    try {
        dispsmooth::smooth(w, h, rgb.data(), disp.data(), INT_MIN, INT_MAX, 1, 9, 20, {1, false});
    } catch (const std::bad_alloc &e) {
        what = e.what();
    }
    setrlimit(RLIMIT_AS, &saved);
    EXPECT_EQ(what,
              "dispsmooth: out of memory allocating disparity histogram (4294967296 x 8 bytes)");
    EXPECT_EQ(disp, ivec(w * h, 1));
    dispsmooth::smooth(w, h, rgb.data(), disp.data(), 0, 255, 1, 9, 20);
    EXPECT_EQ(disp, ivec(w * h, 1));
#endif
}
