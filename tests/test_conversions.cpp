// Luminance and linear rescaling of pixel arrays.
#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <vector>

#include "dispsmooth/smoothing.h"

TEST(RgbToGrayscale, LuminanceWeightsInUnitsOfTwoToMinus15) {
    const std::vector<int> rgb{255, 255, 255, 255, 0, 0, 0, 255, 0, 0, 0, 255};
    std::vector<double> gray(4);
    rgb_to_grayscale(2, 2, rgb.data(), gray.data());
    EXPECT_EQ(gray[0], 255.0);
    EXPECT_EQ(gray[1], 255.0 * 6969 / 32768);
    EXPECT_EQ(gray[2], 255.0 * 23434 / 32768);
    EXPECT_EQ(gray[3], 255.0 * 2365 / 32768);
    EXPECT_NEAR(gray[1], 54.2326, 1e-4);
    EXPECT_NEAR(gray[2], 182.3629, 1e-4);
    EXPECT_NEAR(gray[3], 18.4043, 1e-4);
    for (int v : {0, 1, 128, 254, 1000, -7}) {
        const std::vector<int> px{v, v, v};
        double out = -1;
        rgb_to_grayscale(1, 1, px.data(), &out);
        EXPECT_EQ(out, static_cast<double>(v));
    }
    std::vector<double> sentinel(4, -9.0);
    rgb_to_grayscale(2, 0, rgb.data(), sentinel.data());
    rgb_to_grayscale(0, 2, rgb.data(), sentinel.data());
    EXPECT_EQ(sentinel, std::vector<double>(4, -9.0));
}

TEST(NormalizeImage, TruncatesTowardZeroWithoutClamping) {
    const std::vector<int> src{15, 25, 10, 20, 5};
    std::vector<int> dst(5, -1);
    normalize_image(src.data(), dst.data(), 5, 10, 20);
    EXPECT_EQ(dst, (std::vector<int>{127, 382, 0, 255, -127}));
    std::vector<int> sentinel(5, 99);
    normalize_image(src.data(), sentinel.data(), 0, 10, 20);
    normalize_image(src.data(), sentinel.data(), -3, 10, 20);
    normalize_image(src.data(), sentinel.data(), 0, 4, 4);  // nothing to do, not fatal
    EXPECT_EQ(sentinel, std::vector<int>(5, 99));
}

TEST(NormalizeImage, SaturatesOutsideInt) {
    // 8421504 * 255 = 2147483520 still fits; one more does not.
    const std::vector<int> src{INT_MAX, INT_MIN, 8421504, 8421505, -8421505};
    std::vector<int> dst(5);
    normalize_image(src.data(), dst.data(), 5, 0, 1);
    EXPECT_EQ(dst, (std::vector<int>{INT_MAX, INT_MIN, 2147483520, INT_MAX, INT_MIN}));
}

TEST(NormalizeImage, EqualBoundsAreFatal) {
    const int src = 3;
    int dst = 0;
    EXPECT_EXIT(normalize_image(&src, &dst, 1, 4, 4), testing::KilledBySignal(SIGABRT),
                "FATAL ERROR in normalize_image\n");
}
