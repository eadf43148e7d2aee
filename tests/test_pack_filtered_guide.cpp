// pack_filtered_guide against the channel-wise median of radius 1, byte for
// byte, on random sizes (every border shape), tie-heavy and full-range
// values, at one and two threads; and its refusal of values outside 0..255.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "common/call_settings.h"
#include "common/parallel.h"
#include "dispsmooth/smoothing.h"
#include "smoothing/fast/guide_rows.h"
#include "smoothing/fast/pack_filtered_guide.h"

namespace {

using bytes = std::vector<std::uint8_t>;

// The expected packed rows, from median on each channel.
bytes expected_guide(int w, int h, const std::vector<int> &image) {
    const std::size_t n = static_cast<std::size_t>(w) * h;
    const std::size_t stride = dispsmooth::packed_row_bytes(w);
    bytes out(stride * h, 0);
    std::vector<int> channel(n), filtered(n);
    for (int c = 0; c < 3; ++c) {
        for (std::size_t p = 0; p < n; ++p) channel[p] = image[3 * p + c];
        median(w, h, channel.data(), 1, filtered.data());
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                out[y * stride + 4 * x + c] = static_cast<std::uint8_t>(filtered[y * w + x]);
    }
    return out;
}

bytes packed_guide(int w, int h, const std::vector<int> &image, bool *ok) {
    bytes out(dispsmooth::packed_row_bytes(w) * h, 0);
    *ok = dispsmooth::pack_filtered_guide(w, h, image.data(), out.data());
    return out;
}

// Values of pattern mode: uniform 0..255, two values, few levels, extremes
// 0 and 255 only, or a gradient with noise.
std::vector<int> random_image(std::mt19937 &g, int w, int h, int mode) {
    std::vector<int> image(3 * static_cast<std::size_t>(w) * h);
    auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(g); };
    const int a = uni(0, 255), b = uni(0, 255);
    for (std::size_t k = 0; k < image.size(); ++k) {
        const int x = static_cast<int>(k / 3 % w);
        switch (mode) {
        case 0:
            image[k] = uni(0, 255);
            break;
        case 1:
            image[k] = uni(0, 1) ? a : b;
            break;
        case 2:
            image[k] = 100 + uni(0, 3);
            break;
        case 3:
            image[k] = uni(0, 1) * 255;
            break;
        default:
            image[k] = std::min(255, x * 7 % 256 + uni(0, 2));
            break;
        }
    }
    return image;
}

TEST(PackFilteredGuide, MatchesChannelMedianOnEverySmallShape) {
    std::mt19937 g(20261207);
    int cases = 0;
    for (int h = 1; h <= 40; h += (h < 8 ? 1 : 3))
        for (int w = 1; w <= 40; w += (w < 8 ? 1 : 3)) {
            const int mode = cases++ % 5;
            const std::vector<int> image = random_image(g, w, h, mode);
            bool ok = false;
            const bytes got = packed_guide(w, h, image, &ok);
            ASSERT_TRUE(ok) << w << "x" << h;
            // Also checks the fourth byte and the padding are 0.
            ASSERT_EQ(got, expected_guide(w, h, image)) << w << "x" << h << " mode " << mode;
        }
    for (int k = 0; k < 300; ++k) {
        const int w = std::uniform_int_distribution<int>(1, 40)(g);
        const int h = std::uniform_int_distribution<int>(1, 40)(g);
        const std::vector<int> image = random_image(g, w, h, k % 5);
        bool ok = false;
        ASSERT_EQ(packed_guide(w, h, image, &ok), expected_guide(w, h, image)) << w << "x" << h;
        ASSERT_TRUE(ok);
    }
}

TEST(PackFilteredGuide, MatchesChannelMedianOnLargeImagesAtOneAndTwoThreads) {
    std::mt19937 g(7);
    const int saved = dispsmooth::thread_count_for_call();
    const int sizes[][2] = {{700, 300}, {513, 511}, {2, 140000}, {140000, 2}};
    for (const auto &size : sizes) {
        const int w = size[0], h = size[1];
        const std::vector<int> image = random_image(g, w, h, w % 5);
        const bytes expected = expected_guide(w, h, image);
        for (int threads : {1, 2}) {
            dispsmooth::this_thread_settings.threads = threads;
            bool ok = false;
            EXPECT_EQ(packed_guide(w, h, image, &ok), expected) << w << "x" << h << " " << threads;
            EXPECT_TRUE(ok);
        }
    }
    dispsmooth::this_thread_settings.threads = saved;
}

TEST(PackFilteredGuide, RefusesValuesOutsideByteRangeWithoutWriting) {
    std::mt19937 g(3);
    const int saved = dispsmooth::thread_count_for_call();
    const int sizes[][2] = {{1, 1}, {5, 3}, {33, 17}, {700, 400}};
    for (const auto &size : sizes) {
        const int w = size[0], h = size[1];
        const std::size_t count = 3 * static_cast<std::size_t>(w) * h;
        for (std::size_t at : {std::size_t{0}, count / 2, count - 1})
            for (int bad : {256, -1, 1 << 30, -2147483647 - 1})
                for (int threads : {1, 2}) {
                    dispsmooth::this_thread_settings.threads = threads;
                    std::vector<int> image = random_image(g, w, h, 0);
                    image[at] = bad;
                    bool ok = true;
                    const bytes got = packed_guide(w, h, image, &ok);
                    EXPECT_FALSE(ok) << w << "x" << h << " at " << at << " value " << bad;
                    EXPECT_EQ(got, bytes(got.size(), 0)) << "output written";
                }
    }
    dispsmooth::this_thread_settings.threads = saved;
    std::uint8_t none[4] = {};
    EXPECT_TRUE(dispsmooth::pack_filtered_guide(0, 5, nullptr, none));
    EXPECT_TRUE(dispsmooth::pack_filtered_guide(5, 0, nullptr, none));
}

}  // namespace
