// Weighted-median smoothing, its 3x3 median prefilter and histogram median.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <csignal>
#include <random>
#include <vector>

#include "dispsmooth/smoothing.h"
#include "tests/support.h"

namespace {

using ivec = std::vector<int>;
const auto aborted = testing::KilledBySignal(SIGABRT);
// A sigma whose square is infinite makes its term 0: every weight is then 1.
const double flat = 1e300;

using test_support::random_ints;

ivec smoothed(int w, int h, const ivec &img, ivec disp, int radius, double ss, double sc,
              int min_d = 0, int max_d = 255) {
    smooth_disparity_weighted_median(w, h, img.data(), disp.data(), min_d, max_d, radius, ss, sc);
    return disp;
}

// Straightforward evaluation written from the definition of the filter.
ivec reference(int w, int h, const ivec &img, const ivec &disp, int min_d, int max_d, int r,
               double ss, double sc) {
    auto inside = [&](int y, int x) { return y >= 0 && y < h && x >= 0 && x < w; };
    ivec guide(img.size());
    for (int c = 0; c < 3; ++c)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                ivec vals;
                for (int yy = y - 1; yy <= y + 1; ++yy)
                    for (int xx = x - 1; xx <= x + 1; ++xx)
                        if (inside(yy, xx)) vals.push_back(img[3 * (yy * w + xx) + c]);
                std::sort(vals.begin(), vals.end());
                guide[3 * (y * w + x) + c] = vals[vals.size() / 2];
            }
    ivec out(disp.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::vector<double> histo(max_d - min_d + 1, 0.0);
            for (int yy = y - r; yy <= y + r; ++yy)
                for (int xx = x - r; xx <= x + r; ++xx) {
                    if (!inside(yy, xx)) continue;
                    int c2 = 0;
                    for (int c = 0; c < 3; ++c) {
                        const int d = guide[3 * (y * w + x) + c] - guide[3 * (yy * w + xx) + c];
                        c2 += d * d;
                    }
                    const int s2 = (yy - y) * (yy - y) + (xx - x) * (xx - x);
                    histo[disp[yy * w + xx] - min_d] +=
                        std::exp(-(double(c2) / (sc * sc) + double(s2) / (ss * ss)));
                }
            double total = 0, cum = 0;
            for (double v : histo) total += v;
            std::size_t k = 0;
            while ((cum += histo[k]) < total / 2) ++k;
            out[y * w + x] = min_d + static_cast<int>(k);
        }
    return out;
}

}  // namespace

TEST(Smoothing, MatchesIndependentEvaluationExactly) {
    const int w = 12, h = 9;
    const ivec img = random_ints(3 * w * h, 0, 255, 1);
    const ivec disp = random_ints(w * h, 0, 255, 2);
    EXPECT_EQ(smoothed(w, h, img, disp, 2, 1.5, 30.0),
              reference(w, h, img, disp, 0, 255, 2, 1.5, 30.0));
    // Few disparities in an offset range, so that windows share values.
    const ivec few = random_ints(w * h, 20, 26, 3);
    EXPECT_EQ(smoothed(w, h, img, few, 3, 2.0, 50.0, 20, 26),
              reference(w, h, img, few, 20, 26, 3, 2.0, 50.0));
}

TEST(Smoothing, RadiusZeroAndEmptyImagesLeaveTheMap) {
    const ivec img = random_ints(3 * 35, 0, 255, 4), disp = random_ints(35, 0, 255, 5);
    EXPECT_EQ(smoothed(7, 5, img, disp, 0, 1.0, 10.0), disp);
    ivec sentinel{42};
    smooth_disparity_weighted_median(0, 5, nullptr, sentinel.data(), 0, 255, 2, 1.0, 1.0);
    smooth_disparity_weighted_median(5, -1, nullptr, sentinel.data(), 0, 255, 2, 1.0, 1.0);
    EXPECT_EQ(sentinel, ivec{42});
}

TEST(Smoothing, ExactTieYieldsLowerDisparity) {
    // All weights are exactly 1: each pixel sees 3 and 7 twice.
    const ivec img(12, 9);
    EXPECT_EQ(smoothed(2, 2, img, {7, 3, 3, 7}, 1, flat, flat), (ivec{3, 3, 3, 3}));
}

TEST(Smoothing, ConstantColourMakesSigmaColourIrrelevant) {
    const ivec img(3 * 48, 77), disp = random_ints(48, 0, 255, 6);
    const ivec base = smoothed(8, 6, img, disp, 2, 1.3, 1.0);
    EXPECT_NE(base, disp);
    EXPECT_EQ(smoothed(8, 6, img, disp, 2, 1.3, 1e-3), base);
    EXPECT_EQ(smoothed(8, 6, img, disp, 2, 1.3, 1e6), base);
}

TEST(Smoothing, OutlierReplacedOnlyWhenNeighboursOutweighIt) {
    const ivec img(27, 5);
    ivec disp(9, 10);
    disp[4] = 200;
    EXPECT_EQ(smoothed(3, 3, img, disp, 1, 1.0, 10.0), ivec(9, 10));  // 4/e + 4/e^2 > 1
    EXPECT_EQ(smoothed(3, 3, img, disp, 1, 0.1, 10.0), disp);
}

TEST(Smoothing, HugeRadiusEqualsWindowCoveringImage) {
    const ivec img = random_ints(3 * 20, 0, 255, 7), disp = random_ints(20, 0, 255, 8);
    EXPECT_EQ(smoothed(5, 4, img, disp, INT_MAX / 2, 2.0, 40.0),
              smoothed(5, 4, img, disp, 5, 2.0, 40.0));
    ivec a(20), b(20);
    median(5, 4, disp.data(), INT_MAX / 2, a.data());
    median(5, 4, disp.data(), 5, b.data());
    EXPECT_EQ(a, b);
}

TEST(Smoothing, FatalErrors) {
    const ivec img(27, 0), ones(9, 1);
    const char *histo_error = "FATAL ERROR in median_histo\n";
    EXPECT_EXIT(smoothed(3, 3, img, ones, 1, 0.0, 1.0), aborted, histo_error);
    EXPECT_EXIT(smoothed(3, 3, img, ones, 1, 1.0, 0.0), aborted, histo_error);
    EXPECT_EXIT(smoothed(3, 3, img, ones, -1, 1.0, 1.0), aborted, histo_error);
    ivec bad(9, 1);
    bad[8] = 256;
    EXPECT_EXIT(smoothed(3, 3, img, bad, 1, 1.0, 1.0), aborted, "FATAL ERROR in weighted_histo\n");
    std::vector<double> histo(4);
    EXPECT_EXIT(weighted_histo(3, 3, img.data(), bad.data(), 2, 5, 0, 1.0, 1.0, 0, 0, histo.data()),
                aborted, "FATAL ERROR in weighted_histo\n");
    EXPECT_EXIT(smoothed(3, 3, img, ones, 1, 1.0, 1.0, 5, 4), aborted,
                "FATAL ERROR in weighted_median\n");
    ivec out(9);
    EXPECT_EXIT(median(3, 3, img.data(), -1, out.data()), aborted, "FATAL ERROR in median\n");
}

TEST(WeightedHisto, BorderWindowHoldsOnlyInImagePixels) {
    // Colours of the 2x2 corner block give C = 0, 1, 4, 3 against (0, 0).
    ivec guide(27, 200);
    const int corner[4][3] = {{0, 0, 0}, {1, 0, 0}, {0, 2, 0}, {1, 1, 1}};
    const int at[4] = {0, 1, 3, 4};
    for (int p = 0; p < 4; ++p) std::copy(corner[p], corner[p] + 3, &guide[3 * at[p]]);
    const ivec disp{0, 1, 5, 2, 3, 5, 5, 5, 5};
    std::vector<double> histo(6, -1.0);
    weighted_histo(3, 3, guide.data(), disp.data(), 0, 5, 1, 1.5, 2.0, 0, 0, histo.data());
    EXPECT_EQ(histo[0], 1.0);
    EXPECT_EQ(histo[1], std::exp(-(1 / 4.0 + 1 / 2.25)));
    EXPECT_EQ(histo[2], std::exp(-(4 / 4.0 + 1 / 2.25)));
    EXPECT_EQ(histo[3], std::exp(-(3 / 4.0 + 2 / 2.25)));
    EXPECT_EQ(histo[4], 0.0);
    EXPECT_EQ(histo[5], 0.0);
    // With unit weights the entries count the clipped window: 6 on an edge, 9 inside.
    weighted_histo(3, 3, guide.data(), ivec(9, 4).data(), 0, 5, 1, flat, flat, 1, 2, histo.data());
    EXPECT_EQ(histo[4], 6.0);
    weighted_histo(3, 3, guide.data(), ivec(9, 4).data(), 0, 5, 1, flat, flat, 1, 1, histo.data());
    EXPECT_EQ(histo[4], 9.0);
}

TEST(Median, ClippedWindowsTakeElementKDivTwo) {
    ivec one{-5}, out1(1);
    median(1, 1, one.data(), 1, out1.data());
    EXPECT_EQ(out1, ivec{-5});
    ivec four{4, 1, 3, 2}, out4(4);
    median(2, 2, four.data(), 1, out4.data());
    EXPECT_EQ(out4, (ivec{3, 3, 3, 3}));
    // 3x3: corner {9,1,8,2} -> 8; top edge {9,1,5,8,2,7} -> 7; centre -> 5.
    const ivec src{9, 1, 5, 8, 2, 7, 3, 6, 4};
    ivec out(9);
    median(3, 3, src.data(), 1, out.data());
    EXPECT_EQ(out[0], 8);
    EXPECT_EQ(out[1], 7);
    EXPECT_EQ(out[4], 5);
}

TEST(MedianHisto, FirstIndexReachingHalfLowerOnSplit) {
    EXPECT_EQ(median_histo(0, 3, std::vector<double>{0, 0, 3, 0}.data()), 2);
    EXPECT_EQ(median_histo(0, 2, std::vector<double>{1, 2, 1}.data()), 1);
    EXPECT_EQ(median_histo(0, 1, std::vector<double>{1, 1}.data()), 0);
    EXPECT_EQ(median_histo(-3, 0, std::vector<double>{0, 0.5, 0.5, 0}.data()), 1);
    EXPECT_EQ(median_histo(7, 10, std::vector<double>{1, 0, 0, 1.5}.data()), 3);
    EXPECT_EXIT(median_histo(0, 2, std::vector<double>(3, 0.0).data()), aborted,
                "FATAL ERROR in median_histo\n");
    EXPECT_EXIT(median_histo(0, 1, std::vector<double>{1, NAN}.data()), aborted,
                "FATAL ERROR in median_histo\n");
    EXPECT_EXIT(median_histo(0, 0, std::vector<double>{-1}.data()), aborted,
                "FATAL ERROR in median_histo\n");
}

TEST(ColorDistance, SumOfSquaresSaturatingAtIntMax) {
    const ivec guide{0,       0, 0, 1,       2, 3, 46340, 0,     0, 46341, 0,     0,
                     INT_MAX, 0, 0, INT_MIN, 0, 0, 46340, 46340, 0, 0,     46340, 46340};
    EXPECT_EQ(color_distance_squared(6, 1, guide.data(), 0, 0, 0, 1), 14);
    EXPECT_EQ(color_distance_squared(3, 2, guide.data(), 0, 2, 0, 0), 46340 * 46340);
    EXPECT_EQ(color_distance_squared(3, 2, guide.data(), 1, 0, 0, 0), INT_MAX);
    EXPECT_EQ(color_distance_squared(6, 1, guide.data(), 0, 4, 0, 5), INT_MAX);
    // Each square fits, their sum does not.
    EXPECT_EQ(color_distance_squared(8, 1, guide.data(), 0, 6, 0, 0), INT_MAX);
}
