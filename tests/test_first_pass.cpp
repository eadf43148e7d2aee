// The plain first pass against the AVX2 one, and the AVX2 one against the
// AVX-512 sweep of two groups side by side: the same estimates, lane sums
// and settled lanes to the last bit, on windows cut by either edge or not,
// masked or not, on single levels and on coarse bins.  Where the processor
// has no AVX2 (AVX-512) there is nothing to compare with, and the case is
// skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "common/call_settings.h"
#include "dispsmooth/disparity_io.hpp"
#include "dispsmooth/dispsmooth.hpp"
#include "smoothing/fast/estimate_lanes.h"
#include "smoothing/fast/ring_tail_table.h"
#include "smoothing/fast/settle_stats.h"
#include "smoothing/fast/vector_isa.h"
#include "smoothing/levels.h"
#include "smoothing/smooth_disparity_fast.h"
#include "tests/support.h"

#if DISPSMOOTH_X86
namespace {

struct pass_case {
    int width, height, radius, j;
    bool masked;
    int coarse_shift;
    int levels;  // disparities drawn from 0 .. levels - 1
};

struct outcome {
    unsigned settled = 0;
    int value[dispsmooth::lanes] = {};
    float total[dispsmooth::lanes] = {}, below[dispsmooth::lanes] = {};
    std::vector<float> estimates;
    int offsets_summed[dispsmooth::lanes] = {};
};

bool same_bits(const float *a, const float *b, std::size_t n) {
    return std::memcmp(a, b, n * sizeof(float)) == 0;
}

}  // namespace
#endif

TEST(FirstPass, PlainAndAvx2PassesAgreeToTheLastBit) {
#if !DISPSMOOTH_X86
    GTEST_SKIP() << "the AVX2 first pass exists on x86 alone";
#else
    if (dispsmooth::available_vector_isa() < dispsmooth::vector_isa::avx2)
        GTEST_SKIP() << "no AVX2 first pass on this processor to compare with";
    const bool pairs = dispsmooth::available_vector_isa() >= dispsmooth::vector_isa::avx512;
    if (!pairs) std::printf("no AVX-512 on this processor: the two-group sweep is not compared\n");
    const pass_case cases[] = {
        // width, height, radius, j (first lane's column), masked, shift, levels
        {64, 9, 4, 20, false, 0, 6},    // inside the image
        {64, 9, 4, 0, false, 0, 6},     // cut by the left edge
        {64, 9, 4, 56, false, 0, 6},    // cut by the right edge
        {8, 3, 1, 0, false, 0, 3},      // one group a row, cut on both sides
        {40, 11, 5, 16, true, 0, 5},    // invalid neighbours
        {40, 11, 5, 0, true, 0, 5},     // invalid and cut
        {50, 7, 3, 21, false, 3, 200},  // coarse bins of 8 levels
        {50, 7, 3, 42, true, 4, 900},   // coarse bins, masked, cut
        {30, 31, 15, 11, false, 0, 2},  // a window as tall as the image
        {72, 23, 11, 20, false, 0, 9},  // two groups inside the image, early stops
        {72, 23, 11, 16, true, 0, 9},   // the same, invalid neighbours
    };
    std::mt19937 random(2024);
    int compared = 0, stopped_early = 0, finished_alone = 0, pairs_compared = 0,
        pair_stopped_apart = 0;
    for (const pass_case &c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "width " << c.width << " radius " << c.radius << " j " << c.j << " masked "
                     << c.masked << " shift " << c.coarse_shift);
        const int r = c.radius, span = 2 * r + 1;
        const int i = c.height / 2, y_lo = std::max(0, i - r), y_hi = std::min(c.height - 1, i + r);
        for (int trial = 0; trial < 20; ++trial) {
            // Packed guide rows of four bytes a pixel (the AVX2 pass reads
            // 32 bytes from a group's first pixel), and disparities.
            std::vector<std::vector<std::uint8_t>> pixels(
                static_cast<std::size_t>(c.height),
                std::vector<std::uint8_t>(4 * static_cast<std::size_t>(c.width) + 32));
            std::vector<int> disp(static_cast<std::size_t>(c.width) * c.height);
            std::uniform_int_distribution<int> byte(0, 255), level(0, c.levels - 1), invalid(0, 4);
            for (auto &row : pixels)
                for (std::size_t k = 0; k < 4 * static_cast<std::size_t>(c.width); ++k)
                    row[k] = static_cast<std::uint8_t>(k % 4 == 3 ? 0 : byte(random));
            for (int &d : disp) d = c.masked && invalid(random) == 0 ? -1 : level(random);
            std::vector<const std::uint8_t *> rows;
            for (int y = y_lo; y <= y_hi; ++y) rows.push_back(pixels[y].data());

            const double sigma_space = 1.0 + trial % 7, sigma_colour = 5.0 + 3.0 * trial;
            std::vector<float> space;
            for (int dy = -r; dy <= r; ++dy)
                for (int dx = -r; dx <= r; ++dx)
                    space.push_back(
                        static_cast<float>(127.0 - std::log2(std::exp(1.0)) * (dx * dx + dy * dy) /
                                                       (sigma_space * sigma_space)));
            const dispsmooth::lane_constants k{
                c.width,
                c.masked,
                c.coarse_shift,
                r,
                r,
                static_cast<float>(-std::log2(std::exp(1.0)) / (sigma_colour * sigma_colour)),
                space.data(),
                0.49995f,
                0.50005f};
            // Candidates of the group at c.j and of the one after it.
            int candidate[2 * dispsmooth::lanes];
            for (int l = 0; l < 2 * dispsmooth::lanes; ++l)
                candidate[l] = std::max(
                    0,
                    disp[static_cast<std::size_t>(i) * c.width + std::min(c.j + l, c.width - 1)]);
            const auto clipped_at = [&](int j) {
                return j < r || j + dispsmooth::lanes - 1 + r > c.width - 1;
            };
            const bool clipped = clipped_at(c.j);

            // Odd trials may stop early, against bounds on the offsets
            // beyond each ring (their spatial factors; a colour factor is at
            // most 1), and ask for every lane or only some.
            std::vector<float> rest(static_cast<std::size_t>(r) + 1);
            for (int n = 0; n <= r; ++n) {
                double beyond = 0;
                for (int y = y_lo; y <= y_hi; ++y)
                    for (int dx = -r; dx <= r; ++dx)
                        if (std::max(std::abs(dx), std::abs(y - i)) > n)
                            beyond += std::exp2(space[(y - i + r) * span + dx + r] - 127.0);
                rest[n] = static_cast<float>(beyond * 1.001);
            }
            const unsigned needed = trial % 4 == 3 ? 0x5BU : 0xFFU;
            // Some of those let the lanes still open after a ring finish
            // alone: one, three, or all of them (each then alone from the
            // first ring on).
            const int most_alone[] = {1, 3, 8};
            dispsmooth::ring_tail_table tails(r, r);
            const dispsmooth::ring_tail *tail =
                trial % 2 == 1 && !clipped ? tails.fill(rows.data(), y_lo, y_hi, i, c.width, r, r,
                                                        space.data(), most_alone[trial / 2 % 3])
                                           : nullptr;
            // The group at j (c.j or c.j + 8), the second asking for other
            // lanes than the first.
            const auto group = [&](int j, outcome &o) {
                o.estimates.assign(
                    static_cast<std::size_t>(span) * (y_hi - y_lo + 1) * dispsmooth::lanes, -1.0f);
                return dispsmooth::lane_group{disp.data(),
                                              rows.data(),
                                              y_lo,
                                              y_hi,
                                              i,
                                              j,
                                              candidate + (j - c.j),
                                              o.estimates.data(),
                                              clipped_at(j),
                                              o.total,
                                              o.below,
                                              trial % 2 == 1 ? rest.data() : nullptr,
                                              j == c.j ? needed : needed ^ 0x3CU,
                                              clipped_at(j) ? nullptr : tail,
                                              o.offsets_summed};
            };
            auto run = [&](dispsmooth::estimate_lanes_fn pass, int j) {
                outcome o;
                o.settled = pass(k, group(j, o), o.value);
                return o;
            };
            const auto expect_same = [&](const outcome &a, const outcome &b, const char *what) {
                EXPECT_EQ(a.settled, b.settled) << what << ", trial " << trial;
                EXPECT_EQ(0,
                          std::memcmp(a.offsets_summed, b.offsets_summed, sizeof a.offsets_summed))
                    << what << ", trial " << trial;
                EXPECT_EQ(0, std::memcmp(a.value, b.value, sizeof a.value))
                    << what << ", trial " << trial;
                EXPECT_TRUE(same_bits(a.total, b.total, dispsmooth::lanes))
                    << what << ", trial " << trial;
                EXPECT_TRUE(same_bits(a.below, b.below, dispsmooth::lanes))
                    << what << ", trial " << trial;
                EXPECT_TRUE(same_bits(a.estimates.data(), b.estimates.data(), a.estimates.size()))
                    << what << ", trial " << trial;
            };
            const outcome avx2 = run(dispsmooth::estimate_lanes_avx2, c.j);
            const outcome plain = run(dispsmooth::estimate_lanes_generic, c.j);
            expect_same(plain, avx2, "plain and AVX2");
            if (pairs && c.j + 2 * dispsmooth::lanes <= c.width) {
                const outcome second =
                    run(dispsmooth::estimate_lanes_avx2, c.j + dispsmooth::lanes);
                outcome pa, pb;
                const unsigned both = dispsmooth::estimate_lane_pairs_avx512(
                    k, group(c.j, pa), group(c.j + dispsmooth::lanes, pb), pa.value, pb.value);
                pa.settled = both & 0xFFU;
                pb.settled = both >> dispsmooth::lanes;
                expect_same(avx2, pa, "AVX2 and the first of a pair");
                expect_same(second, pb, "AVX2 and the second of a pair");
                if (std::memcmp(pa.offsets_summed, pb.offsets_summed, sizeof pa.offsets_summed) !=
                    0)
                    ++pair_stopped_apart;
                ++pairs_compared;
            }
            if (avx2.offsets_summed[0] < span * (y_hi - y_lo + 1)) ++stopped_early;
            if (tail != nullptr &&
                std::any_of(std::begin(avx2.offsets_summed), std::end(avx2.offsets_summed),
                            [&](int n) { return n != avx2.offsets_summed[0]; }))
                ++finished_alone;
            ++compared;
        }
    }
    EXPECT_EQ(compared, 11 * 20);
    EXPECT_GT(stopped_early, 0) << "no group stopped before its last ring";
    EXPECT_GT(finished_alone, 0) << "no lane finished its window alone";
    if (pairs) {
        EXPECT_GT(pairs_compared, 40);
        EXPECT_GT(pair_stopped_apart, 0) << "no pair's groups stopped after different rings";
    }
#endif
}

// The halving inside coarse bins: the AVX2 and the plain one settle the
// same lanes on the same levels, inside the image and cut by either edge,
// with invalid neighbours and lanes left out; and a level settled is the
// crossing of the estimates' own cumulative sums (in double), each lane
// given the bin that holds it.
TEST(FirstPass, PlainAndAvx2HalvingsInsideBinsAgreeAndFindTheCrossing) {
#if !DISPSMOOTH_X86
    GTEST_SKIP() << "the AVX2 halving exists on x86 alone";
#else
    if (dispsmooth::available_vector_isa() < dispsmooth::vector_isa::avx2)
        GTEST_SKIP() << "no AVX2 halving on this processor to compare with";
    const bool pairs = dispsmooth::available_vector_isa() >= dispsmooth::vector_isa::avx512;
    int pairs_compared = 0;
    std::mt19937 random(77);
    const struct {
        int width, height, radius, j, shift;
    } cases[] = {{64, 9, 4, 20, 3}, {64, 9, 4, 0, 5},  {64, 9, 4, 56, 2}, {8, 5, 3, 0, 8},
                 {40, 7, 3, 16, 0}, {64, 9, 4, 48, 4},   // a pair cut by the right edge
                 {64, 9, 4, 24, 7}, {64, 9, 4, 16, 8}};  // pairs inside, four rounds
    int settled_lanes = 0, lanes_asked = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "width " << c.width << " j " << c.j);
        const int span = 2 * c.radius + 1, rows = c.height;
        const int bins_per_lane = 1 << c.shift;
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<int> disp(static_cast<std::size_t>(c.width) * c.height);
            std::uniform_int_distribution<int> level(-1, 4 * bins_per_lane);
            for (int &d : disp) d = level(random);
            // The group at c.j and the one after it (h = 1), where it fits.
            struct group {
                int j;
                bool clipped;
                std::vector<float> estimates;
                int lo[dispsmooth::lanes];
                float below[dispsmooth::lanes], total[dispsmooth::lanes];
                std::vector<std::vector<double>> cumulative;
            } groups[2];
            const int group_count = pairs && c.j + 2 * dispsmooth::lanes <= c.width ? 2 : 1;
            std::uniform_real_distribution<float> weight(0.0f, 1.0f);
            for (int h = 0; h < group_count; ++h) {
                group &g = groups[h];
                g.j = c.j + h * dispsmooth::lanes;
                g.clipped = g.j < c.radius || g.j + 7 + c.radius > c.width - 1;
                // Estimates as the first pass leaves them: 0 outside the
                // image and for invalid neighbours.
                g.estimates.assign(static_cast<std::size_t>(span) * rows * dispsmooth::lanes, 0.0f);
                const auto at = [&](int y, int dx, int l) -> float & {
                    return g.estimates[(static_cast<std::size_t>(y) * span + dx + c.radius) *
                                           dispsmooth::lanes +
                                       l];
                };
                const auto level_at = [&](int y, int dx, int l) {
                    const int x = g.j + dx + l;
                    return x < 0 || x >= c.width ? -1
                                                 : disp[static_cast<std::size_t>(y) * c.width + x];
                };
                for (int y = 0; y < rows; ++y)
                    for (int dx = -c.radius; dx <= c.radius; ++dx)
                        for (int l = 0; l < dispsmooth::lanes; ++l)
                            at(y, dx, l) = level_at(y, dx, l) < 0 ? 0.0f : weight(random);
                // Each lane's bin: the one holding its crossing in double sums.
                g.cumulative.assign(dispsmooth::lanes, {});
                for (int l = 0; l < dispsmooth::lanes; ++l) {
                    std::vector<double> &w = g.cumulative[static_cast<std::size_t>(l)];
                    w.assign(static_cast<std::size_t>(4 * bins_per_lane + 2), 0.0);
                    g.total[l] = 0.0f;
                    for (int y = 0; y < rows; ++y)
                        for (int dx = -c.radius; dx <= c.radius; ++dx) {
                            g.total[l] += at(y, dx, l);
                            if (level_at(y, dx, l) >= 0)
                                w[static_cast<std::size_t>(level_at(y, dx, l)) + 1] += at(y, dx, l);
                        }
                    for (std::size_t k = 1; k < w.size(); ++k) w[k] += w[k - 1];  // below k
                    int m = 0;
                    while (m + 1 < 4 * bins_per_lane + 1 &&
                           !(w[static_cast<std::size_t>(m) + 1] >
                             0.5 * static_cast<double>(g.total[l])))
                        ++m;
                    g.lo[l] = m >> c.shift << c.shift;
                    g.below[l] = static_cast<float>(w[static_cast<std::size_t>(g.lo[l])]);
                }
            }
            const unsigned mask = trial % 2 ? 0xFFU : static_cast<unsigned>(random() & 0xFFU);
            const auto lanes_of = [&](const group &g, unsigned asked) {
                return dispsmooth::bin_lanes{g.estimates.data(),
                                             disp.data(),
                                             c.width,
                                             c.radius,
                                             0,
                                             rows - 1,
                                             g.j,
                                             g.clipped,
                                             c.shift,
                                             asked,
                                             g.lo,
                                             g.below,
                                             g.total,
                                             0.49995f,
                                             0.50005f};
            };
            int level_a[dispsmooth::lanes], level_p[dispsmooth::lanes];
            const unsigned plain =
                dispsmooth::bisect_bins_generic(lanes_of(groups[0], mask), level_p);
            // The AVX2 search sweeping the whole window each round, and
            // passing over the neighbours outside every lane's interval.
            std::vector<float> kept(static_cast<std::size_t>(span) * rows * 32);
            const auto avx2_search = [&](const group &g, unsigned asked, float *room, int *level) {
                dispsmooth::bin_lanes b = lanes_of(g, asked);
                b.kept = room;
                return dispsmooth::bisect_bins_avx2(b, level);
            };
            const unsigned avx2 = avx2_search(groups[0], mask, kept.data(), level_a);
            EXPECT_EQ(avx2, plain) << "trial " << trial;
            EXPECT_EQ(0, std::memcmp(level_a, level_p, sizeof level_a)) << "trial " << trial;
            EXPECT_EQ(avx2_search(groups[0], mask, nullptr, level_p), plain) << "trial " << trial;
            EXPECT_EQ(0, std::memcmp(level_a, level_p, sizeof level_a)) << "trial " << trial;
            EXPECT_EQ(avx2 & ~mask, 0U);
            if (group_count == 2) {
                // The two at once, the second asking for other lanes.
                int level_b[dispsmooth::lanes], pair_a[dispsmooth::lanes],
                    pair_b[dispsmooth::lanes];
                const unsigned second = avx2_search(groups[1], mask ^ 0x3CU, nullptr, level_b);
                for (float *room : {static_cast<float *>(nullptr), kept.data()}) {
                    dispsmooth::bin_lanes first = lanes_of(groups[0], mask);
                    first.kept = room;
                    const unsigned both = dispsmooth::bisect_bin_pairs_avx512(
                        first, lanes_of(groups[1], mask ^ 0x3CU), pair_a, pair_b);
                    EXPECT_EQ(both, avx2 | second << dispsmooth::lanes) << "trial " << trial;
                    EXPECT_EQ(0, std::memcmp(level_a, pair_a, sizeof level_a)) << "trial " << trial;
                    EXPECT_EQ(0, std::memcmp(level_b, pair_b, sizeof level_b)) << "trial " << trial;
                }
                ++pairs_compared;
            }
            for (int l = 0; l < dispsmooth::lanes; ++l) {
                if ((mask >> l & 1) == 0) continue;
                ++lanes_asked;
                if ((avx2 >> l & 1) == 0) continue;
                ++settled_lanes;
                const std::vector<double> &w = groups[0].cumulative[static_cast<std::size_t>(l)];
                const double half = 0.5 * static_cast<double>(groups[0].total[l]);
                const auto m = static_cast<std::size_t>(level_a[l]);
                EXPECT_LT(w[m], half) << "trial " << trial << " lane " << l;
                EXPECT_GE(w[m + 1], half) << "trial " << trial << " lane " << l;
            }
        }
    }
    EXPECT_GT(settled_lanes, lanes_asked * 9 / 10) << "the halving settles few lanes";
    if (pairs) {
        EXPECT_GE(pairs_compared, 60);
    }
#endif
}

// On the real scenes every first pass settles the same pixels: the counts
// recorded here are those of the AVX2 pass on x86, which the plain pass must
// give on every processor (the aarch64 check runs this under emulation),
// with the results of the exact path.
TEST(FirstPass, RealScenesSettleTheSameShareOnEveryProcessor) {
    REQUIRE_TESTDATA();
    if (!dispsmooth::first_pass_may_run(64)) GTEST_SKIP() << "no first pass on this processor";
    const struct {
        const char *scene;
        long long settled, first_pass;
    } scenes[] = {{"cones", 168733, 159401}, {"teddy", 168721, 155122}};
    // One thread: with more, which rows seed the candidates of the next
    // depends on which thread is free first.
    dispsmooth::this_thread_settings.threads = 1;
    for (const auto &s : scenes) {
        SCOPED_TRACE(s.scene);
        const auto dir = test_support::testdata_dir() / "stereo" / s.scene;
        const dispsmooth::rgb_image left = dispsmooth::read_rgb_image((dir / "left.png").string());
        const dispsmooth::gray_image noisy =
            dispsmooth::read_gray_image((dir / "disp_noisy.png").string());
        auto smooth = [&](dispsmooth::vector_isa path, dispsmooth::settle_stats *counts) {
            dispsmooth::limit_vector_isa(path);
            std::vector<int> map = noisy.pixels;
            dispsmooth::smooth_disparity_fast(left.width, left.height, left.samples.data(),
                                              map.data(), 0, 255, 5, 9.0, 20.0, counts);
            dispsmooth::limit_vector_isa(dispsmooth::vector_isa::avx512);
            return map;
        };
        dispsmooth::settle_stats best, plain;
        const std::vector<int> fast = smooth(dispsmooth::available_vector_isa(), &best);
        const std::vector<int> lanes = smooth(dispsmooth::vector_isa::generic_lanes, &plain);
        const std::vector<int> exact = smooth(dispsmooth::vector_isa::baseline, nullptr);
        EXPECT_EQ(fast, exact);
        EXPECT_EQ(lanes, exact);
        EXPECT_EQ(best.settled, s.settled);
        EXPECT_EQ(best.first_pass, s.first_pass);
        EXPECT_EQ(plain.settled, s.settled);
        EXPECT_EQ(plain.first_pass, s.first_pass);
        // The same early stops: the same window work.
        EXPECT_EQ(plain.window_work, best.window_work);
        std::printf("%s, radius 5: %lld of %lld pixels settled, %lld by the first pass\n", s.scene,
                    plain.settled, plain.pixels, plain.first_pass);
    }
    dispsmooth::this_thread_settings.threads = 0;
}

// A real sub-pixel map, KITTI's dense prediction (16,299 levels), whose
// first pass settles coarse bins of 2^7 ranks and the level inside each in
// four rounds, the later ones over the neighbours the rounds before kept:
// every path gives the exact path's results, and every lane path settles
// the same pixels, the same counts on every processor (recorded here from
// x86; the aarch64 check runs this under emulation).
TEST(FirstPass, SubPixelMapSettlesTheSameShareOnEveryProcessor) {
    REQUIRE_TESTDATA();
    if (!dispsmooth::first_pass_may_run(64)) GTEST_SKIP() << "no first pass on this processor";
    const auto dir = test_support::testdata_dir() / "stereo-formats" / "kitti2015_000151_10";
    const dispsmooth::rgb_image left = dispsmooth::read_rgb_image((dir / "left.png").string());
    const dispsmooth::uint16_image pred =
        dispsmooth::read_uint16_image((dir / "disp_pred.png").string());
    ASSERT_EQ(pred.width, left.width);
    // A band of 256 x 96 pixels in the middle of the frame.
    const int w = 256, h = 96, x0 = 500, y0 = 200;
    std::vector<int> image(static_cast<std::size_t>(3) * w * h),
        map(static_cast<std::size_t>(w) * h);
    std::vector<std::uint8_t> valid(map.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const std::size_t p = static_cast<std::size_t>(y) * w + x;
            const std::size_t q = static_cast<std::size_t>(y0 + y) * left.width + x0 + x;
            for (int c = 0; c < 3; ++c) image[3 * p + c] = left.samples[3 * q + c];
            map[p] = pred.pixels[q];
            valid[p] = map[p] > 0;
        }
    dispsmooth::this_thread_settings.threads = 1;
    for (const int radius : {5, 9}) {
        SCOPED_TRACE(radius);
        auto smooth = [&](dispsmooth::vector_isa path, dispsmooth::settle_stats *counts) {
            dispsmooth::limit_vector_isa(path);
            std::vector<int> out = map;
            std::vector<std::uint8_t> out_valid = valid;
            EXPECT_TRUE(dispsmooth::smooth_levels(w, h, image.data(), out.data(), out_valid.data(),
                                                  0, 65535, radius, 9.0, 20.0, false, counts));
            dispsmooth::limit_vector_isa(dispsmooth::vector_isa::avx512);
            return out;
        };
        dispsmooth::settle_stats best, plain;
        const std::vector<int> exact = smooth(dispsmooth::vector_isa::baseline, nullptr);
        EXPECT_EQ(smooth(dispsmooth::available_vector_isa(), &best), exact);
        EXPECT_EQ(smooth(dispsmooth::vector_isa::generic_lanes, &plain), exact);
        if (dispsmooth::available_vector_isa() == dispsmooth::vector_isa::avx512) {
            dispsmooth::settle_stats avx2;
            EXPECT_EQ(smooth(dispsmooth::vector_isa::avx2, &avx2), exact);
            EXPECT_EQ(avx2.settled, best.settled);
            EXPECT_EQ(avx2.first_pass, best.first_pass);
        }
        EXPECT_EQ(plain.settled, best.settled);
        EXPECT_EQ(plain.first_pass, best.first_pass);
        EXPECT_EQ(plain.window_work, best.window_work);
        EXPECT_EQ(plain.settled, radius == 5 ? 24542 : 24499);
        EXPECT_EQ(plain.first_pass, radius == 5 ? 23972 : 23643);
        std::printf(
            "KITTI prediction, radius %d: %lld of %lld pixels settled, %lld by the first "
            "pass\n",
            radius, plain.settled, plain.pixels, plain.first_pass);
    }
    dispsmooth::this_thread_settings.threads = 0;
}
