// The smoothing of levels (smoothing/levels.h) against its straightforward
// evaluation: random scenes with random masks, every class of level range
// (narrow, wide, 65536 levels, the whole of int), near-ties, fill on and
// off, windows without a valid pixel, at one and two threads on every
// vector path; and with every pixel valid, against the tool's routine.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "common/call_settings.h"
#include "dispsmooth/smoothing.h"
#include "smoothing/fast/vector_isa.h"
#include "smoothing/levels.h"
#include "tests/helpers.h"

namespace {

using test_support::code_paths;

using ivec = std::vector<int>;
using bvec = std::vector<std::uint8_t>;

struct scene {
    int w = 0, h = 0, radius = 0, min_d = 0, max_d = 255;
    double ss = 1, sc = 1;
    ivec image, disp;
    bvec valid;
};

// The range classes: narrow, negative, 65536 levels, wider than the rank
// table, and the whole of int.
void pick_range(std::mt19937 &g, scene &s) {
    switch (g() % 6) {
    case 0:
        s.min_d = 0, s.max_d = 255;
        break;
    case 1:
        s.min_d = -40, s.max_d = 40;
        break;
    case 2:
        s.min_d = 0, s.max_d = 65535;
        break;
    case 3:
        s.min_d = -3000000, s.max_d = 5000000;
        break;
    case 4:
        s.min_d = INT_MIN, s.max_d = INT_MAX;
        break;
    default:
        s.min_d = INT_MAX - 5, s.max_d = INT_MAX;
    }
}

int pick_level(std::mt19937 &g, const scene &s, const ivec &few) {
    if (g() % 3 != 0) return few[g() % few.size()];
    const unsigned long long span =
        static_cast<unsigned long long>(static_cast<long long>(s.max_d) - s.min_d + 1);
    return static_cast<int>(s.min_d + static_cast<long long>(g() % span));
}

scene random_scene(std::mt19937 &g, int max_side, int max_radius) {
    scene s;
    auto uni = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(g); };
    s.w = uni(1, max_side);
    s.h = uni(1, max_side);
    s.radius = uni(0, max_radius);
    s.ss = std::pow(10.0, std::uniform_real_distribution<double>(-0.5, 2.0)(g));
    s.sc = std::pow(10.0, std::uniform_real_distribution<double>(0.0, 3.0)(g));
    pick_range(g, s);
    const int n = s.w * s.h;
    // A few levels most pixels share (so that windows mix some of them and
    // come near ties), and stray ones anywhere in the range.
    ivec few;
    for (int k = 0, m = uni(1, 4); k < m; ++k) few.push_back(pick_level(g, s, {s.min_d}));
    const int colours = uni(0, 2);
    s.image.resize(3 * static_cast<std::size_t>(n));
    for (int p = 0; p < n; ++p)
        for (int c = 0; c < 3; ++c)
            s.image[3 * p + c] = colours == 0   ? uni(0, 255)
                                 : colours == 1 ? 100 + ((p % s.w) * 2 > s.w) * 60
                                                : 77;
    s.disp.resize(static_cast<std::size_t>(n));
    for (int p = 0; p < n; ++p) s.disp[p] = pick_level(g, s, few);
    // Masks: none, scattered, a band (windows with no valid pixel), all
    // invalid.
    s.valid.assign(static_cast<std::size_t>(n), 1);
    const int mask = uni(0, 4);
    const int share = uni(1, 9);
    for (int p = 0; p < n; ++p) {
        const int x = p % s.w;
        bool invalid = false;
        if (mask == 1 || mask == 2) invalid = uni(0, 9) < share;
        if (mask == 3) invalid = x < s.w / 2;
        if (mask == 4) invalid = true;
        if (invalid) {
            s.valid[p] = 0;
            // Invalid pixels may hold anything, in the range or not.
            s.disp[p] = uni(0, 1) ? -1 : static_cast<int>(g());
        }
    }
    return s;
}

int cases = 0;

// smooth_levels against smooth_levels_reference, fill off and on, at 1 and
// 2 threads on every path.
void compare(const scene &s, const char *what, int index) {
    static const std::vector<dispsmooth::vector_isa> paths = code_paths();
    for (bool fill : {false, true}) {
        ivec expected = s.disp;
        bvec expected_valid = s.valid;
        dispsmooth::smooth_levels_reference(s.w, s.h, s.image.data(), expected.data(),
                                            expected_valid.data(), s.min_d, s.max_d, s.radius, s.ss,
                                            s.sc, fill);
        for (auto path : paths) {
            dispsmooth::limit_vector_isa(path);
            for (int threads : {1, 2}) {
                dispsmooth::this_thread_settings.threads = threads;
                ivec got = s.disp;
                bvec got_valid = s.valid;
                dispsmooth::smooth_levels(s.w, s.h, s.image.data(), got.data(), got_valid.data(),
                                          s.min_d, s.max_d, s.radius, s.ss, s.sc, fill);
                ASSERT_EQ(expected, got)
                    << what << " case " << index << ": " << s.w << "x" << s.h << " radius "
                    << s.radius << " sigmas " << s.ss << ", " << s.sc << " range " << s.min_d
                    << ".." << s.max_d << " fill " << fill << " threads " << threads << " path "
                    << static_cast<int>(path);
                ASSERT_EQ(expected_valid, got_valid) << what << " validity, case " << index;
            }
        }
        ++cases;
    }
    dispsmooth::limit_vector_isa(dispsmooth::vector_isa::avx512);
}

TEST(Levels, RandomScenesWithMasksMatchTheDefinition) {
    std::mt19937 g(777);
    for (int index = 0; index < 1500; ++index) {
        const scene s = index < 1300 ? random_scene(g, 24, 6) : random_scene(g, 70, 9);
        compare(s, "random", index);
        if (::testing::Test::HasFailure()) return;
    }
    std::printf("[          ] %d cases compared, at 1 and 2 threads on %zu code paths\n", cases,
                code_paths().size());
}

// Two levels under one colour, the spatial sigma swept so that their shares
// pass through a half, with a scattered mask: near-ties of the valid
// pixels' weights.
TEST(Levels, NearTiesWithMasksMatch) {
    std::mt19937 g(99);
    int compared = 0;
    for (int radius : {2, 4}) {
        for (int step = 0; step < 40; ++step) {
            scene s;
            s.w = 40, s.h = 18, s.radius = radius;
            s.min_d = step % 2 ? 0 : INT_MIN, s.max_d = step % 2 ? 65535 : INT_MAX;
            s.ss = 0.4 * std::pow(1.1, step);
            s.sc = 1e3;
            const int n = s.w * s.h;
            s.image.assign(3 * static_cast<std::size_t>(n), 90);
            s.disp.resize(static_cast<std::size_t>(n));
            s.valid.assign(static_cast<std::size_t>(n), 1);
            for (int p = 0; p < n; ++p) {
                s.disp[p] = (p % s.w / 2) % 2 ? 30000 : 30001 + step % 3;
                if (g() % 7 == 0) s.valid[p] = 0, s.disp[p] = 0;
            }
            compare(s, "near tie", step);
            compared += 2;
            if (::testing::Test::HasFailure()) return;
        }
    }
    std::printf("[          ] %d near-tie cases compared\n", compared);
}

// Windows decided by their outer rings, for the first pass's early stop:
// pixel P's window holds level 20 within k pixels of P (a square) and level
// 10 beyond, under one colour, so its weighted median is 10 or 20 as the
// outer part's weight is above or below the square's.  The rest of P's
// group of eight lies in the square and is invalid, so P alone decides
// whether the group may stop after ring k, where the bound on the rings to
// come is the outer part's spatial weight itself.  The spatial sigma at
// which the two parts balance is found by bisection and sigmas up to 1.2 %
// either side are tried: a bound 1 % too small (or none) stops P's group
// early on the wrong side of the crossing.
TEST(Levels, OuterRingsThatDecideTheMedianAreSummed) {
    int compared = 0;
    for (const auto &[radius, k] : {std::pair{12, 7}, {15, 9}}) {
        const int w = 40, h = 2 * radius + 1, px = 16, py = radius;
        auto level = [&](int x, int y) {
            return std::max(std::abs(x - px), std::abs(y - py)) <= k ? 20 : 10;
        };
        auto valid = [&](int x, int y) { return y != py || x <= px || x >= px + 8; };
        // W(level 10) - W(level 20) in P's window.
        auto imbalance = [&](double sigma) {
            return test_support::weight_imbalance(
                w, h, px, py, radius, sigma, [&](int x, int y) { return level(x, y) == 10; },
                valid);
        };
        const double lo =
            test_support::log_sigma_of_balance(imbalance, std::log(1.0), std::log(1000.0));
        ASSERT_FALSE(std::isnan(lo)) << "the two parts never balance";
        for (int step = -8; step <= 8; ++step) {
            scene s;
            s.w = w, s.h = h, s.radius = radius;
            s.ss = std::exp(lo + step * 1.5e-3);
            s.sc = 20;
            const int n = s.w * s.h;
            s.image.assign(3 * static_cast<std::size_t>(n), 90);
            s.disp.resize(static_cast<std::size_t>(n));
            s.valid.resize(static_cast<std::size_t>(n));
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    s.disp[y * w + x] = level(x, y);
                    s.valid[y * w + x] = valid(x, y) ? 1 : 0;
                }
            compare(s, "outer rings", step);
            compared += 2;
            if (::testing::Test::HasFailure()) return;
        }
    }
    std::printf("[          ] %d cases decided by their outer rings compared\n", compared);
}

// Sub-pixel maps: slanted planes in levels of 1/16 or 1/256 pixel with
// matching noise, so that the first pass settles coarse bins and then the
// level inside them; with and without holes.
TEST(Levels, SubPixelSlantsMatch) {
    std::mt19937 g(1616);
    int compared = 0;
    for (int scale : {16, 256}) {
        for (int holes : {0, 1}) {
            for (int radius : {2, 5}) {
                scene s;
                s.w = 72, s.h = 40, s.radius = radius, s.ss = 9, s.sc = 20;
                s.min_d = 0, s.max_d = 65535;
                const int n = s.w * s.h;
                s.image.resize(3 * static_cast<std::size_t>(n));
                s.disp.resize(static_cast<std::size_t>(n));
                s.valid.assign(static_cast<std::size_t>(n), 1);
                for (int p = 0; p < n; ++p) {
                    const int x = p % s.w, y = p / s.w, region = x > 30 + y / 3;
                    for (int c = 0; c < 3; ++c)
                        s.image[3 * p + c] = 60 + region * 90 + c * 20 + static_cast<int>(g() % 9);
                    const double d = region ? 20 + 0.11 * x + 0.05 * y : 40 - 0.07 * x;
                    s.disp[p] =
                        static_cast<int>(d * scale) + static_cast<int>(g() % scale) - scale / 2;
                    if (holes && g() % 5 == 0) s.valid[p] = 0, s.disp[p] = 0;
                }
                compare(s, "sub-pixel", scale + holes);
                compared += 2;
                if (::testing::Test::HasFailure()) return;
                // The first pass settles most of them (coarse bin, then level).
                dispsmooth::settle_stats stats;
                ivec out = s.disp;
                bvec valid = s.valid;
                dispsmooth::this_thread_settings.threads = 1;
                dispsmooth::smooth_levels(s.w, s.h, s.image.data(), out.data(), valid.data(),
                                          s.min_d, s.max_d, s.radius, s.ss, s.sc, false, &stats);
                if (dispsmooth::available_vector_isa() != dispsmooth::vector_isa::baseline) {
                    EXPECT_GT(2 * stats.first_pass, stats.pixels) << scale << " " << radius;
                }
            }
        }
    }
    std::printf("[          ] %d sub-pixel cases compared\n", compared);
}

// Windows wider than the weight table (the exact rows path) with masks.
TEST(Levels, WideWindowsWithMasksMatch) {
    std::mt19937 g(5);
    const int shapes[][3] = {{150, 1, 100}, {3, 70, 80}};
    for (const auto &shape : shapes) {
        scene s;
        s.w = shape[0], s.h = shape[1], s.radius = shape[2], s.ss = 60, s.sc = 30;
        s.min_d = -100000, s.max_d = 100000;
        const int n = s.w * s.h;
        s.image.resize(3 * static_cast<std::size_t>(n));
        s.disp.resize(static_cast<std::size_t>(n));
        s.valid.resize(static_cast<std::size_t>(n));
        for (int &v : s.image) v = static_cast<int>(g() % 8);
        for (int p = 0; p < n; ++p) {
            s.disp[p] = static_cast<int>(g() % 5) * 20000;
            s.valid[p] = g() % 4 != 0;
        }
        compare(s, "wide window", shape[0]);
    }
}

// With every pixel valid the result is the tool's routine's, for ranges
// that go through the ranks too.
TEST(Levels, EveryPixelValidGivesTheToolsResult) {
    std::mt19937 g(31337);
    for (int index = 0; index < 300; ++index) {
        scene s = random_scene(g, 30, 5);
        if (s.max_d == INT_MAX && s.min_d == INT_MIN)
            continue;  // the tool's histogram is too large
        if (static_cast<long long>(s.max_d) - s.min_d > 100000000) continue;
        for (int p = 0; p < s.w * s.h; ++p)
            if (!s.valid[p]) s.disp[p] = s.min_d;
        ivec expected = s.disp, got = s.disp;
        smooth_disparity_weighted_median(s.w, s.h, s.image.data(), expected.data(), s.min_d,
                                         s.max_d, s.radius, s.ss, s.sc);
        dispsmooth::smooth_levels(s.w, s.h, s.image.data(), got.data(), nullptr, s.min_d, s.max_d,
                                  s.radius, s.ss, s.sc, false);
        ASSERT_EQ(expected, got) << "case " << index;
    }
}

// The ranks keep the order of the levels and mark invalid pixels -1,
// through the table and through sorting alike.
TEST(Levels, RanksKeepTheOrderOfTheLevels) {
    const ivec disp{7, -3, 7, 1000, -3, 5, 9};
    const bvec valid{1, 1, 1, 1, 0, 1, 0};
    for (int min_d : {-10, INT_MIN}) {
        const auto ranked = dispsmooth::rank_levels(disp.size(), disp.data(), valid.data(), min_d,
                                                    min_d == INT_MIN ? INT_MAX : 2000);
        ASSERT_EQ(ranked.count, 4u);
        EXPECT_EQ(ivec(ranked.levels.get(), ranked.levels.get() + 4), (ivec{-3, 5, 7, 1000}));
        EXPECT_EQ(ivec(ranked.ranks.get(), ranked.ranks.get() + 7), (ivec{2, 0, 2, 3, -1, 1, -1}));
    }
}

}  // namespace
