// The fast smoothing routines against the straightforward ones: identical
// results, to the last bit, on thousands of random small images chosen to
// reach ties, underflowing weights, unusual ranges and special sigmas, at one
// and two threads; and the same fatal errors where the straightforward
// evaluation stops.  Besides, the counts of settled pixels each call
// reports, and the overrides of the vector path.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/call_settings.h"
#include "common/parallel.h"
#include "dispsmooth/smoothing.h"
#include "smoothing/fast/run_weighted_median_fast.h"
#include "smoothing/fast/settle_stats.h"
#include "smoothing/fast/vector_isa.h"
#include "smoothing/smooth_disparity_fast.h"
#include "tests/helpers.h"

namespace {

using test_support::code_paths;

using ivec = std::vector<int>;

#if defined(__SANITIZE_ADDRESS__)
constexpr int case_scale = 5;  // fewer random cases under the sanitizers
#else
constexpr int case_scale = 1;
#endif

struct scene {
    int w = 0, h = 0, radius = 0, min_d = 0, max_d = 255;
    double ss = 1, sc = 1;
    ivec image, disp;
};

bool same(const ivec &a, const ivec &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(int)) == 0;
}

double pick_sigma(std::mt19937 &g) {
    static const double special[] = {
        std::numeric_limits<double>::infinity(), 1e200, -3.0, 1e-160, 0.05, 1e6};
    if (g() % 6 == 0) return special[g() % 6];
    return std::pow(10.0, std::uniform_real_distribution<double>(-2.0, 6.0)(g));
}

// A random scene: colour palettes from uniform noise to two colours and flat
// regions, disparities from noise to two values in symmetric layouts.
scene random_scene(std::mt19937 &g, int max_side, int max_radius) {
    scene s;
    auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(g); };
    s.w = uni(1, max_side);
    s.h = uni(1, max_side);
    s.radius = uni(0, max_radius);
    s.ss = pick_sigma(g);
    s.sc = pick_sigma(g);
    const int n = s.w * s.h;
    switch (uni(0, 5)) {  // disparity range
    case 0:
        s.min_d = s.max_d = uni(-5, 300);
        break;
    case 1:
        s.min_d = -7, s.max_d = 7;
        break;
    case 2:
        s.min_d = INT_MAX - 3, s.max_d = INT_MAX;
        break;
    case 3:
        s.min_d = INT_MIN, s.max_d = INT_MIN + 70;
        break;
    case 4:
        if (n <= 100) {
            s.min_d = -3000, s.max_d = 3000;
            break;
        }
        [[fallthrough]];
    default:
        s.min_d = 0, s.max_d = 255;
    }
    const int colour_mode = uni(0, 4);
    int palette[2][3];
    for (auto &p : palette)
        for (int &c : p) c = uni(0, 255);
    if (uni(0, 1)) palette[1][uni(0, 2)] = palette[0][0] ^ 1;  // nearly alike
    s.image.resize(3 * static_cast<std::size_t>(n));
    for (int y = 0; y < s.h; ++y)
        for (int x = 0; x < s.w; ++x)
            for (int c = 0; c < 3; ++c) {
                int &v = s.image[3 * (y * s.w + x) + c];
                switch (colour_mode) {
                case 0:
                    v = uni(0, 255);
                    break;
                case 1:
                    v = palette[(x + y) % 2][c];
                    break;
                case 2:
                    v = palette[2 * x < s.w][c];
                    break;
                case 3:
                    v = palette[0][c];
                    break;
                default:  // gradient, a sharp square and noise
                    v = std::clamp((x * 7 + y * 3 + c * 40) % 256 +
                                       ((x > s.w / 3 && y > s.h / 3) ? 90 : 0) + uni(-3, 3),
                                   0, 255);
                }
            }
    const int a = s.min_d + uni(0, s.max_d - s.min_d > 9 ? 9 : s.max_d - s.min_d);
    const int b = s.max_d;
    const int disp_mode = uni(0, 3);
    s.disp.resize(static_cast<std::size_t>(n));
    for (int y = 0; y < s.h; ++y)
        for (int x = 0; x < s.w; ++x) {
            int &d = s.disp[y * s.w + x];
            const long long span = static_cast<long long>(s.max_d) - s.min_d;
            switch (disp_mode) {
            case 0:
                d = static_cast<int>(s.min_d + static_cast<long long>(g() % (span + 1)));
                break;
            case 1:
                d = (x + y) % 2 ? a : b;
                break;
            case 2:
                d = (2 * x + 1 == s.w) ? a : (2 * x < s.w ? a : b);
                break;
            default:
                d = (uni(0, 19) == 0) ? b : (x > s.w / 2 ? a : b);  // 5 % outliers
            }
        }
    return s;
}

// The straightforward routine's output and the fast one's at 1 and 2
// threads, on every code path.
template <class Reference, class Fast>
void expect_identical(const scene &s, std::size_t n, Reference ref, Fast fast, const char *what,
                      int index) {
    static const std::vector<dispsmooth::vector_isa> paths = code_paths();
    ivec expected(n, -1);
    ref(expected.data());
    for (dispsmooth::vector_isa path : paths) {
        dispsmooth::limit_vector_isa(path);
        for (int threads : {1, 2}) {
            dispsmooth::this_thread_settings.threads = threads;
            ivec got(n, -2);
            fast(got.data());
            EXPECT_TRUE(same(expected, got))
                << what << " differs, case " << index << ": " << s.w << "x" << s.h << " radius "
                << s.radius << " sigmas " << s.ss << ", " << s.sc << " range " << s.min_d << ".."
                << s.max_d << " threads " << threads << " code path " << static_cast<int>(path);
        }
    }
    dispsmooth::limit_vector_isa(dispsmooth::vector_isa::avx512);
}

int cases_run = 0;

void compare_weighted(const scene &s, const ivec &guide, int index) {
    const std::size_t n = s.disp.size();
    expect_identical(
        s, n,
        [&](int *out) {
            weighted_median(s.w, s.h, guide.data(), s.disp.data(), s.min_d, s.max_d, s.radius, s.ss,
                            s.sc, out);
        },
        [&](int *out) {
            weighted_median_fast(s.w, s.h, guide.data(), s.disp.data(), s.min_d, s.max_d, s.radius,
                                 s.ss, s.sc, out);
        },
        "weighted_median_fast", index);
    ++cases_run;
}

void compare_whole(const scene &s, int index) {
    auto run = [&](auto smooth) {
        return [&, smooth](int *out) {
            std::memcpy(out, s.disp.data(), s.disp.size() * sizeof(int));
            smooth(s.w, s.h, s.image.data(), out, s.min_d, s.max_d, s.radius, s.ss, s.sc);
        };
    };
    expect_identical(s, s.disp.size(), run(smooth_disparity_weighted_median_reference),
                     run(smooth_disparity_weighted_median), "smooth_disparity_weighted_median",
                     index);
    ++cases_run;
}

bool aborts(double sigma) { return !(sigma * sigma != 0) || std::isnan(sigma); }

TEST(FastSmoothing, WeightedMedianAndWholeSmoothingMatchOnRandomScenes) {
    std::mt19937 g(20240611);
    // Thousands of small scenes, then some of a size that shares rows among
    // threads.
    const int small = 3000 / case_scale, count = small + 100 / case_scale;
    for (int index = 0; index < count; ++index) {
        scene s = index < small ? random_scene(g, 40, 8) : random_scene(g, 100, 6);
        if (aborts(s.ss) || aborts(s.sc)) continue;
        compare_whole(s, index);
        // The guide as given, unfiltered: also values outside 0..255, whose
        // distances saturate beyond INT_MAX.
        ivec guide = s.image;
        if (index % 4 == 0)
            for (int &v : guide) v = v * 5 - 400;
        if (index % 16 == 1) guide[0] = INT_MIN, guide.back() = INT_MAX;
        compare_weighted(s, guide, index);
        if (::testing::Test::HasFailure()) break;
    }
    // Windows wider than the weight table's offsets (63): 1 x 150, 150 x 1, 70 x 3.
    const int shapes[][3] = {{150, 1, 100}, {1, 150, 149}, {3, 70, 80}, {130, 2, 70}};
    for (const auto &shape : shapes) {
        scene s = random_scene(g, 1, 0);
        s.w = shape[0], s.h = shape[1], s.radius = shape[2], s.ss = 60, s.sc = 30;
        s.min_d = 0, s.max_d = 255;
        std::mt19937 fill(static_cast<unsigned>(shape[0]));
        s.image.assign(3 * static_cast<std::size_t>(s.w * s.h), 0);
        s.disp.assign(static_cast<std::size_t>(s.w * s.h), 0);
        for (int &v : s.image) v = static_cast<int>(fill() % 8);
        for (int &d : s.disp) d = static_cast<int>(fill() % 3);
        compare_whole(s, -1);
        compare_weighted(s, s.image, -1);
    }
    // Two larger scenes per radius: a natural-looking one and pure noise.
    for (int radius : {5, 9}) {
        for (int noise = 0; noise < (case_scale == 1 ? 2 : 1); ++noise) {
            scene s;
            s.w = 200, s.h = 150, s.radius = radius, s.ss = 4, s.sc = 12, s.min_d = 0,
            s.max_d = 255;
            std::mt19937 fill(static_cast<unsigned>(radius * 2 + noise));
            s.image.resize(3 * 200 * 150);
            s.disp.resize(200 * 150);
            for (int p = 0; p < 200 * 150; ++p) {
                const int x = p % 200, y = p / 200,
                          inside = (x - 90) * (x - 90) + (y - 70) * (y - 70) < 2500;
                for (int c = 0; c < 3; ++c)
                    s.image[3 * p + c] = noise ? static_cast<int>(fill() % 256)
                                               : std::clamp(x + c * 30 + inside * 100 +
                                                                static_cast<int>(fill() % 9) - 4,
                                                            0, 255);
                s.disp[p] = noise || fill() % 20 == 0 ? static_cast<int>(fill() % 256)
                                                      : 40 + inside * 100 + (x > 150) * 30;
            }
            compare_whole(s, -2);
        }
    }
    std::printf("[          ] %d cases compared, each at 1 and 2 threads on %zu code paths\n",
                cases_run, code_paths().size());
}

// Windows in which one disparity holds close to half of the weight: stripes
// of two disparities under one colour (and under two nearly equal colours),
// with the spatial sigma swept so that the shares pass through a half.
TEST(FastSmoothing, NearlyBalancedWindowsMatch) {
    const int w = 48, h = 20;
    int compared = 0;
    for (int stripe : {1, 2, 3, 5}) {
        for (int radius : {2, 4, 6}) {
            for (int step = 0; step < 60; ++step) {
                scene s;
                s.w = w, s.h = h, s.radius = radius, s.min_d = 0, s.max_d = 255;
                s.ss = 0.4 * std::pow(1.08, step);
                s.sc = step % 2 ? 1e3 : 7.0;
                s.image.resize(3 * w * h);
                s.disp.resize(w * h);
                for (int p = 0; p < w * h; ++p) {
                    const int x = p % w, y = p / w;
                    const bool band = (x / stripe + (y * stripe > h ? 1 : 0)) % 2 != 0;
                    s.disp[p] = band ? 30 : 31 + step % 3;
                    for (int c = 0; c < 3; ++c) s.image[3 * p + c] = 100 + (band && c == 1);
                }
                compare_whole(s, step);
                compare_weighted(s, s.image, step);
                compared += 2;
                if (::testing::Test::HasFailure()) return;
            }
        }
    }
    std::printf("[          ] %d nearly balanced cases compared\n", compared);
}

// Scenes like real disparity maps, where windows spread over many
// disparities: slanted planes under colour regions with texture, block-
// matching-like noise (small jitter, wrong values in clumps, an invalid band
// of zeros at the left edge), at the radii and sigmas users pick.  Heights
// above 16 rows make two threads take separate runs of rows, whose first rows
// get no candidates from the row above.
TEST(FastSmoothing, RealMapLikeScenesMatch) {
    std::mt19937 g(424242);
    auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(g); };
    const int sizes[][2] = {{64, 40}, {37, 23}, {9, 30}};
    const double sigmas[][2] = {{9, 20}, {3, 10}, {20, 50}};
    int compared = 0;
    for (const auto &size : sizes) {
        for (int radius : {1, 2, 3, 5, 9, 15}) {
            if (case_scale > 1 && radius > 5) continue;
            for (const auto &sigma : sigmas) {
                scene s;
                s.w = size[0], s.h = size[1], s.radius = radius, s.ss = sigma[0], s.sc = sigma[1];
                const int n = s.w * s.h;
                s.image.resize(3 * static_cast<std::size_t>(n));
                s.disp.resize(static_cast<std::size_t>(n));
                // Two planes split by a slanted edge, each with its own colour.
                const double a0 = uni(40, 120), ax = uni(-30, 30) / 10.0, ay = uni(-30, 30) / 10.0;
                const double b0 = uni(120, 220), bx = uni(-20, 20) / 10.0, by = uni(-20, 20) / 10.0;
                const int invalid = uni(0, 6);
                for (int y = 0; y < s.h; ++y)
                    for (int x = 0; x < s.w; ++x) {
                        const int p = y * s.w + x;
                        const bool second = 3 * x + y > 2 * s.w;
                        const double plane = second ? b0 + bx * x + by * y : a0 + ax * x + ay * y;
                        int d = static_cast<int>(std::lround(plane)) + uni(-2, 2);
                        if (uni(0, 9) == 0) d = uni(0, 255);  // mismatches
                        if (x < invalid) d = 0;               // no match found
                        s.disp[p] = std::clamp(d, 0, 255);
                        for (int c = 0; c < 3; ++c)
                            s.image[3 * p + c] = std::clamp((second ? 60 + 50 * c : 200 - 40 * c) +
                                                                (x * 3 + y * 5) % 17 + uni(-6, 6),
                                                            0, 255);
                    }
                // Clumps of wrong values, as block matching leaves them.
                for (int clump = 0; clump < 3; ++clump) {
                    const int cx = uni(0, s.w - 1), cy = uni(0, s.h - 1), v = uni(0, 255);
                    for (int y = std::max(0, cy - 2); y <= std::min(s.h - 1, cy + 2); ++y)
                        for (int x = std::max(0, cx - 2); x <= std::min(s.w - 1, cx + 2); ++x)
                            s.disp[y * s.w + x] = v;
                }
                compare_whole(s, compared);
                compare_weighted(s, s.image, compared);
                compared += 2;
                if (::testing::Test::HasFailure()) return;
            }
        }
    }
    std::printf("[          ] %d real-map-like cases compared\n", compared);
}

// Windows whose cumulative weight passes half the total by a hair: pixel P's
// window holds a group of low disparities (10, 11, 12) on its outer offsets
// and a group of high ones (20, 25) on the centre and its four nearest
// neighbours, under one colour, so the weighted median is 12 or 20 as the
// outer group's weight is above or below the inner one's.  The spatial sigma
// at which they balance is found by bisection, and sigmas a few parts in ten
// million apart are tried across it, so that the shares run through every
// value within about 3e-5 of a half: any settling margin smaller than the
// estimates' error picks the wrong side somewhere in that band.  P sits
// inside the image and at either edge, at various places of its group of
// eight.
TEST(FastSmoothing, CumulativeCrossingNearTiesMatch) {
    const int w = 24, h = 9;
    int compared = 0;
    for (int radius : {2, 3, 4}) {
        for (int px : {12, 1, 22, 8, 15}) {
            const int py = 4;
            auto disparity = [&](int x, int y) {
                const int dx = x - px, dy = y - py, s2 = dx * dx + dy * dy;
                if (std::abs(dx) > radius || std::abs(dy) > radius) return 12;
                if (s2 <= 1) return s2 == 0 || dx != 0 ? 20 : 25;
                return 10 + (dx + dy + 2 * radius) % 3;
            };
            // W(outer) - W(inner) of P's window, clipped to the image.
            auto imbalance = [&](double sigma) {
                return test_support::weight_imbalance(
                    w, h, px, py, radius, sigma, [&](int x, int y) { return disparity(x, y) < 15; },
                    [](int, int) { return true; });
            };
            const double lo =
                test_support::log_sigma_of_balance(imbalance, std::log(0.3), std::log(50.0));
            ASSERT_FALSE(std::isnan(lo)) << "the two parts never balance";
            for (int k = -60; k <= 60; ++k) {
                scene s;
                s.w = w, s.h = h, s.radius = radius, s.min_d = 0, s.max_d = 255;
                s.ss = std::exp(lo + k * 5e-7);
                s.sc = 20;
                s.image.assign(3 * w * h, 90);
                s.disp.resize(w * h);
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) s.disp[y * w + x] = disparity(x, y);
                compare_whole(s, k);
                compare_weighted(s, s.image, k);
                compared += 2;
                if (::testing::Test::HasFailure()) return;
            }
        }
    }
    std::printf("[          ] %d cases near the cumulative crossing compared\n", compared);
}

TEST(FastSmoothing, MedianMatchesForEveryRadiusAndShape) {
    std::mt19937 g(7);
    const int count = 2000 / case_scale;
    for (int index = 0; index < count; ++index) {
        int w = 1 + static_cast<int>(g() % 40), h = 1 + static_cast<int>(g() % 40);
        const int radius = index % 3 ? 1 : static_cast<int>(g() % 5);
        ivec src(static_cast<std::size_t>(w) * h);
        const int spread = index % 2 ? 4 : 1 << 30;  // many ties, or wide values
        for (int &v : src) v = static_cast<int>(g() % spread) - spread / 2;
        if (index % 7 == 0) src[g() % src.size()] = INT_MIN, src[g() % src.size()] = INT_MAX;
        if (index % 100 == 0) {  // large enough to share rows among threads
            w = 300, h = 200;
            src.resize(static_cast<std::size_t>(w) * h);
            for (int &v : src) v = static_cast<int>(g() % 256);
        }
        scene s;
        s.w = w, s.h = h, s.radius = radius;
        expect_identical(
            s, src.size(), [&](int *out) { median(w, h, src.data(), radius, out); },
            [&](int *out) { median_fast(w, h, src.data(), radius, out); }, "median_fast", index);
        if (::testing::Test::HasFailure()) break;
    }
}

// A smooth scene of w x h pixels (two regions of one disparity each under a
// colour gradient), small enough that a call stays on one thread, where its
// counts are the same at every run.
scene counting_scene(int w, int h) {
    scene s;
    s.w = w, s.h = h, s.radius = 2, s.ss = 9, s.sc = 20, s.min_d = 0, s.max_d = 255;
    s.image.resize(3 * static_cast<std::size_t>(w * h));
    s.disp.resize(static_cast<std::size_t>(w * h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool right = 2 * x > w + y / 4;
            s.disp[y * w + x] = right ? 90 : 40;
            for (int c = 0; c < 3; ++c) s.image[3 * (y * w + x) + c] = (right ? 150 : 50) + x + c;
        }
    return s;
}

// The fast weighted median of s, and the counts of the call in *stats.
ivec fast_with_counts(const scene &s, dispsmooth::settle_stats *stats) {
    ivec out(s.disp.size());
    dispsmooth::run_weighted_median_fast(s.w, s.h, s.image.data(), nullptr, s.disp.data(), s.min_d,
                                         s.max_d, s.radius, s.ss, s.sc, out.data(), stats);
    return out;
}

bool same_counts(const dispsmooth::settle_stats &a, const dispsmooth::settle_stats &b) {
    return a.pixels == b.pixels && a.settled == b.settled && a.first_pass == b.first_pass;
}

// Each call reports its own counts: every pixel of the image, of which none
// settled from estimates on the baseline path; the whole composition reports
// those of its weighted median.
TEST(FastSmoothing, EachCallReportsItsOwnCounts) {
    const scene s = counting_scene(64, 40);
    const long long n = 64 * 40;
    dispsmooth::settle_stats counts;
    const ivec best = fast_with_counts(s, &counts);
    EXPECT_EQ(counts.pixels, n);
    EXPECT_LE(counts.first_pass, counts.settled);
    EXPECT_LE(counts.settled, counts.pixels);
    if (dispsmooth::first_pass_may_run(s.w)) {
        EXPECT_GT(counts.first_pass, 0);
    }

    // The plain first pass settles the very pixels the vector ones do.
    if (dispsmooth::available_vector_isa() >= dispsmooth::vector_isa::avx2) {
        dispsmooth::limit_vector_isa(dispsmooth::vector_isa::generic_lanes);
        dispsmooth::settle_stats generic{-1, -1, -1};
        EXPECT_TRUE(same(fast_with_counts(s, &generic), best));
        EXPECT_TRUE(same_counts(generic, counts));
    }

    dispsmooth::limit_vector_isa(dispsmooth::vector_isa::baseline);
    dispsmooth::settle_stats baseline{-1, -1, -1};
    EXPECT_TRUE(same(fast_with_counts(s, &baseline), best));
    dispsmooth::limit_vector_isa(dispsmooth::vector_isa::avx512);
    EXPECT_EQ(baseline.pixels, n);
    EXPECT_EQ(baseline.settled, 0);
    EXPECT_EQ(baseline.first_pass, 0);

    // The composition on the same scene: its guide is the 3x3 median of a
    // gradient, another guide, so only the pixel count is known beforehand.
    ivec map = s.disp;
    dispsmooth::settle_stats whole{-1, -1, -1};
    dispsmooth::smooth_disparity_fast(s.w, s.h, s.image.data(), map.data(), s.min_d, s.max_d,
                                      s.radius, s.ss, s.sc, &whole);
    EXPECT_EQ(whole.pixels, n);
    // An empty image computes nothing, and says so.
    dispsmooth::smooth_disparity_fast(0, 5, s.image.data(), map.data(), 0, 255, 2, 9, 20, &whole);
    EXPECT_TRUE(same_counts(whole, dispsmooth::settle_stats{}));
}

// Two calls running at once, on scenes of different sizes, each get the
// counts of their own call: those the same call gives alone.
TEST(FastSmoothing, ConcurrentCallsGetTheirOwnCounts) {
    const scene a = counting_scene(64, 40), b = counting_scene(37, 23);
    dispsmooth::settle_stats alone_a, alone_b;
    const ivec out_a = fast_with_counts(a, &alone_a), out_b = fast_with_counts(b, &alone_b);
    ASSERT_NE(alone_a.pixels, alone_b.pixels);
    std::atomic<int> mismatches{0};
    auto repeat = [&](const scene &s, const dispsmooth::settle_stats &expected, const ivec &out) {
        for (int k = 0; k < 200 / case_scale; ++k) {
            dispsmooth::settle_stats counts{-1, -1, -1};
            if (!same(fast_with_counts(s, &counts), out) || !same_counts(counts, expected))
                ++mismatches;
        }
    };
    std::thread first(repeat, std::cref(a), std::cref(alone_a), std::cref(out_a));
    std::thread second(repeat, std::cref(b), std::cref(alone_b), std::cref(out_b));
    first.join();
    second.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// Where the straightforward evaluation stops, the fast one stops with the
// same message, at one and two threads.
TEST(FastSmoothingDeathTest, SameFatalErrors) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::mt19937 g(99);
    scene s = random_scene(g, 1, 0);
    // Large enough that the fast routines share rows among threads.
    const int w = 120, h = 90;
    s.w = w, s.h = h, s.radius = 2, s.ss = 3, s.sc = 20, s.min_d = 0, s.max_d = 255;
    s.image.assign(3 * w * h, 0);
    s.disp.assign(w * h, 0);
    for (int &v : s.image) v = static_cast<int>(g() % 256);
    for (int &d : s.disp) d = static_cast<int>(g() % 256);
    const double nan = std::numeric_limits<double>::quiet_NaN();

    struct failing {
        const char *message;
        double ss, sc;
        int radius, min_d, max_d;
        int bad_pixel;  // index given a disparity outside 0..255, or -1
    };
    const failing cases[] = {
        {"median_histo", 0.0, 20, 2, 0, 255, -1},
        {"median_histo", 3, nan, 2, 0, 255, -1},
        {"median_histo", 1e-170, 20, 2, 0, 255, -1},
        {"median_histo", 3, 20, -1, 0, 255, -1},
        {"weighted_median", 3, 20, 2, 5, 4, -1},
        {"weighted_histo", 3, 20, 2, 0, 255, w * h - 1},
        {"median_histo", 0.0, 20, 2, 0, 255, w * (h - 1)},
        {"weighted_histo", 0.0, 20, 2, 0, 255, 2 * w + 2},
    };
    for (const failing &f : cases) {
        ivec disp = s.disp;
        if (f.bad_pixel >= 0) disp[f.bad_pixel] = 256;
        const std::string expected = std::string("^FATAL ERROR in ") + f.message + "\n$";
        ivec out(disp.size());
        EXPECT_EXIT(weighted_median(s.w, s.h, s.image.data(), disp.data(), f.min_d, f.max_d,
                                    f.radius, f.ss, f.sc, out.data()),
                    testing::KilledBySignal(SIGABRT), expected);
        EXPECT_EXIT(
            smooth_disparity_weighted_median_reference(s.w, s.h, s.image.data(), disp.data(),
                                                       f.min_d, f.max_d, f.radius, f.ss, f.sc),
            testing::KilledBySignal(SIGABRT), expected);
        for (int threads : {1, 2}) {
            dispsmooth::this_thread_settings.threads = threads;
            EXPECT_EXIT(weighted_median_fast(s.w, s.h, s.image.data(), disp.data(), f.min_d,
                                             f.max_d, f.radius, f.ss, f.sc, out.data()),
                        testing::KilledBySignal(SIGABRT), expected);
            EXPECT_EXIT(smooth_disparity_weighted_median(s.w, s.h, s.image.data(), disp.data(),
                                                         f.min_d, f.max_d, f.radius, f.ss, f.sc),
                        testing::KilledBySignal(SIGABRT), expected);
        }
    }
    ivec out(s.disp.size());
    EXPECT_EXIT(median(s.w, s.h, s.disp.data(), -1, out.data()), testing::KilledBySignal(SIGABRT),
                "^FATAL ERROR in median\n$");
    EXPECT_EXIT(median_fast(s.w, s.h, s.disp.data(), -1, out.data()),
                testing::KilledBySignal(SIGABRT), "^FATAL ERROR in median\n$");
}

// Exits with 1 where a call on a smooth scene ran the first pass, else 0.
[[noreturn]] void exit_whether_first_pass_ran() {
    dispsmooth::settle_stats counts;
    fast_with_counts(counting_scene(64, 40), &counts);
    std::exit(counts.first_pass > 0 ? 1 : 0);
}

// DISPSMOOTH_FORCE_PORTABLE=1 keeps the first pass from running; any other
// value changes nothing.  The variable is read once per process, so each
// value is tried in a fresh one: a death test of the "threadsafe" style runs
// the test executable again, up to the case.
TEST(FastSmoothingDeathTest, ForcePortableTakesEffectForOneAlone) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char *const name = "DISPSMOOTH_FORCE_PORTABLE";
    const char *const given = std::getenv(name);
    const std::optional<std::string> saved =
        given ? std::optional<std::string>(given) : std::nullopt;
    int code = -1;
    auto exit_code = [&code](int status) {
        code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return WIFEXITED(status);
    };

    ASSERT_EQ(unsetenv(name), 0);
    EXPECT_EXIT(exit_whether_first_pass_ran(), exit_code, "");
    const int unforced = code;
    ASSERT_EQ(setenv(name, "1", 1), 0);
    EXPECT_EXIT(exit_whether_first_pass_ran(), testing::ExitedWithCode(0), "");
    for (const char *other : {"0", "", "yes", "11", " 1", "1 "}) {
        ASSERT_EQ(setenv(name, other, 1), 0);
        code = -1;
        EXPECT_EXIT(exit_whether_first_pass_ran(), exit_code, "");
        EXPECT_EQ(code, unforced) << "DISPSMOOTH_FORCE_PORTABLE=\"" << other << "\"";
    }
    if (saved)
        setenv(name, saved->c_str(), 1);
    else
        unsetenv(name);
    if (unforced == 0)
        std::printf("[          ] no first pass on this processor: only the value 1 is checked\n");
}

}  // namespace
