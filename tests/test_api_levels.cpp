// smooth_map (dispsmooth/dispsmooth.hpp): typed maps read as levels, with
// masks, invalid values, fill and sub-pixel steps; its results against the
// straightforward evaluation, its rounding rule, and its refusals.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "dispsmooth/dispsmooth.hpp"
#include "dispsmooth/smoothing.h"
#include "smoothing/levels.h"
#include "tests/helpers.h"
#include "tests/support.h"

namespace {

using test_support::refusal;

using ivec = std::vector<int>;
using bvec = std::vector<std::uint8_t>;

struct scene {
    int w, h;
    std::vector<std::uint8_t> rgb;
    ivec image, disp;
};

scene make_scene(int w, int h, int lo, int hi, unsigned seed) {
    scene s{w,
            h,
            {},
            test_support::random_ints(3 * static_cast<std::size_t>(w) * h, 0, 255, seed),
            test_support::random_ints(static_cast<std::size_t>(w) * h, lo, hi, seed + 1)};
    s.rgb.assign(s.image.begin(), s.image.end());
    return s;
}

// With no invalid pixel, every integer type gives the tool's routine's
// result.
TEST(SmoothMap, IntegerTypesGiveTheToolsResult) {
    const scene s = make_scene(37, 23, 0, 255, 3);
    ivec expected = s.disp;
    smooth_disparity_weighted_median(s.w, s.h, s.image.data(), expected.data(), 0, 255, 4, 5, 20);
    std::vector<std::uint8_t> u8(s.disp.begin(), s.disp.end());
    std::vector<std::uint16_t> u16(s.disp.begin(), s.disp.end());
    std::vector<std::int16_t> i16(s.disp.begin(), s.disp.end());
    std::vector<std::int32_t> i32(s.disp.begin(), s.disp.end());
    dispsmooth::smooth_map(s.w, s.h, s.rgb.data(), u8.data(), 4, 5, 20);
    dispsmooth::smooth_map(s.w, s.h, s.rgb.data(), u16.data(), 4, 5, 20);
    dispsmooth::smooth_map(s.w, s.h, s.rgb.data(), i16.data(), 4, 5, 20);
    dispsmooth::smooth_map(s.w, s.h, s.rgb.data(), i32.data(), 4, 5, 20);
    EXPECT_EQ(ivec(u8.begin(), u8.end()), expected);
    EXPECT_EQ(ivec(u16.begin(), u16.end()), expected);
    EXPECT_EQ(ivec(i16.begin(), i16.end()), expected);
    EXPECT_EQ(ivec(i32.begin(), i32.end()), expected);
}

// A semi-global matcher's map: int16, levels of 1/16 pixel, invalid pixels
// at (min_disparity - 1) * 16; and a KITTI-like uint16 map with 0 invalid.
TEST(SmoothMap, InvalidValuesAndMasksMatchTheDefinition) {
    for (bool fill : {false, true}) {
        scene s = make_scene(41, 29, 0, 64 * 16, 5);
        std::mt19937 g(fill ? 1 : 2);
        bvec valid(s.disp.size(), 1);
        for (std::size_t p = 0; p < s.disp.size(); ++p)
            if (g() % 5 == 0) s.disp[p] = -16, valid[p] = 0;
        for (int x = 0; x < 6; ++x)  // a blind band: windows with no valid pixel
            for (int y = 0; y < s.h; ++y) s.disp[y * s.w + x] = -16, valid[y * s.w + x] = 0;
        ivec expected = s.disp;
        bvec expected_valid = valid;
        dispsmooth::smooth_levels_reference(s.w, s.h, s.image.data(), expected.data(),
                                            expected_valid.data(), 0, 64 * 16, 2, 9, 20, fill);

        std::vector<std::int16_t> sgbm(s.disp.begin(), s.disp.end());
        dispsmooth::level_options levels;
        levels.max_d = 64 * 16;
        levels.invalid = -16;
        levels.fill = fill;
        dispsmooth::smooth_map(s.w, s.h, s.rgb.data(), sgbm.data(), 2, 9, 20, levels);
        EXPECT_EQ(ivec(sgbm.begin(), sgbm.end()), expected) << "fill " << fill;

        // The same through a mask, on a uint16 map whose invalid pixels hold
        // values outside the range.
        std::vector<std::uint16_t> kitti(s.disp.size());
        for (std::size_t p = 0; p < s.disp.size(); ++p)
            kitti[p] = valid[p] ? static_cast<std::uint16_t>(s.disp[p]) : 65535;
        levels.invalid.reset();
        levels.mask = valid.data();
        dispsmooth::smooth_map(s.w, s.h, s.rgb.data(), kitti.data(), 2, 9, 20, levels);
        for (std::size_t p = 0; p < s.disp.size(); ++p)
            ASSERT_EQ(static_cast<int>(kitti[p]), expected_valid[p] ? expected[p] : 65535)
                << "pixel " << p << " fill " << fill;
    }
}

// Floating-point maps: quantised to the nearest level, halfway cases to the
// even one; returned as level x step; not-a-number and infinite pixels are
// invalid and stay where they were unless filled.
TEST(SmoothMap, FloatMapsAreQuantisedHalfToEven) {
    const int w = 6, h = 1;
    const std::vector<std::uint8_t> rgb(3 * w, 50);
    dispsmooth::level_options levels;
    levels.min_d = -10, levels.max_d = 10, levels.step = 0.5;
    // Radius 0: every valid pixel keeps its own level.
    std::vector<float> map{0.25f, 0.75f, 1.25f, -0.25f, -0.75f, 0.3f};
    dispsmooth::smooth_map(w, h, rgb.data(), map.data(), 0, 9, 20, levels);
    EXPECT_EQ(map, (std::vector<float>{0.0f, 1.0f, 1.0f, 0.0f, -1.0f, 0.5f}));

    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> holes{nan, 2.0f, inf, 2.0f, -inf, 3.0f};
    levels.step = 1.0 / 16;
    levels.min_d = 0, levels.max_d = 64;
    std::vector<float> kept = holes;
    dispsmooth::smooth_map(w, h, rgb.data(), kept.data(), 1, 9, 20, levels);
    EXPECT_TRUE(std::isnan(kept[0]));
    EXPECT_EQ(kept[2], inf);
    EXPECT_EQ(kept[4], -inf);
    levels.fill = true;
    dispsmooth::smooth_map(w, h, rgb.data(), holes.data(), 1, 9, 20, levels);
    EXPECT_EQ(holes[0], 2.0f);
    EXPECT_EQ(holes[2], 2.0f);

    // float64 and negative disparities through min_d.  One colour: the
    // centre weighs 1, each row neighbour exp(-1/81), so a window of three
    // distinct levels gives its middle one, a window of two its centre's.
    std::vector<double> negative{-3.0, -2.5, -3.0, -2.0, -3.0, -3.5};
    levels.min_d = -64, levels.max_d = 0, levels.step = 0.5, levels.fill = false;
    dispsmooth::smooth_map(w, h, rgb.data(), negative.data(), 1, 9, 1e6, levels);
    EXPECT_EQ(negative, (std::vector<double>{-3.0, -3.0, -2.5, -3.0, -3.0, -3.5}));
}

// Ranges of any width cost no memory of their own: the whole of int.
TEST(SmoothMap, TheWholeIntRangeIsAnOrdinaryCase) {
    const scene s = make_scene(50, 40, INT_MIN, INT_MAX, 8);
    ivec expected = s.disp;
    dispsmooth::smooth_levels_reference(s.w, s.h, s.image.data(), expected.data(), nullptr, INT_MIN,
                                        INT_MAX, 3, 9, 20, false);
    std::vector<std::int32_t> got(s.disp.begin(), s.disp.end());
    dispsmooth::level_options levels;
    levels.min_d = INT_MIN, levels.max_d = INT_MAX;
    dispsmooth::smooth_map(s.w, s.h, s.rgb.data(), got.data(), 3, 9, 20, levels);
    EXPECT_EQ(ivec(got.begin(), got.end()), expected);
}

TEST(SmoothMap, RefusalsComeBeforeAnyWork) {
    const scene s = make_scene(8, 6, 0, 255, 9);
    std::vector<std::uint8_t> u8(s.disp.begin(), s.disp.end());
    const auto before = u8;
    dispsmooth::level_options levels;
    levels.max_d = 100;
    EXPECT_EQ(refusal([&] {
                  dispsmooth::smooth_map(8, 6, s.rgb.data(), u8.data(), 2, 9, 20, levels);
              }).substr(0, 22),
              "dispsmooth: disparity ");
    EXPECT_EQ(u8, before);
    // Invalid pixels may hold values outside the range.
    std::vector<std::uint8_t> zeros(48, 0);
    zeros[13] = 200;
    levels.invalid = 200;
    EXPECT_EQ(refusal([&] {
                  dispsmooth::smooth_map(8, 6, s.rgb.data(), zeros.data(), 2, 9, 20, levels);
              }),
              "");
    levels.invalid.reset();
    std::vector<float> f(48, 1.0f);
    EXPECT_EQ(refusal([&] { dispsmooth::smooth_map(8, 6, s.rgb.data(), f.data(), 2, 9, 20); }),
              "dispsmooth: step is 0; a floating-point disparity map needs step, the size of one "
              "level, a finite number above 0");
    levels.step = 0.25;
    EXPECT_EQ(
        refusal([&] { dispsmooth::smooth_map(8, 6, s.rgb.data(), u8.data(), 2, 9, 20, levels); }),
        "dispsmooth: step is 0.25; an integer disparity map holds its levels themselves "
        "and takes step 0");
    f[9] = 30.0f;
    levels.max_d = 100;
    EXPECT_EQ(
        refusal([&] { dispsmooth::smooth_map(8, 6, s.rgb.data(), f.data(), 2, 9, 20, levels); }),
        "dispsmooth: disparity 30 (level 120 of step 0.25) at row 1, column 1 is outside "
        "min_d..max_d = 0..100 (FATAL ERROR in weighted_histo)");
    EXPECT_EQ(f[0], 1.0f);
}

// More distinct valid levels than the cap: refused, the map unchanged.
TEST(SmoothMap, TooManyDistinctLevelsAreRefused) {
    const int w = 2049, h = 2048;
    const std::size_t n = static_cast<std::size_t>(w) * h;
    std::vector<std::int32_t> map(n);
    for (std::size_t p = 0; p < n; ++p) map[p] = static_cast<std::int32_t>(p * 3);
    const std::vector<std::uint8_t> rgb(3 * n, 0);
    dispsmooth::level_options levels;
    levels.max_d = INT_MAX;
    EXPECT_EQ(
        refusal([&] { dispsmooth::smooth_map(w, h, rgb.data(), map.data(), 2, 9, 20, levels); }),
        "dispsmooth: the disparity map holds more than 4194304 distinct valid levels, the "
        "most one map may hold");
    EXPECT_EQ(map[n - 1], static_cast<std::int32_t>((n - 1) * 3));
}

}  // namespace
