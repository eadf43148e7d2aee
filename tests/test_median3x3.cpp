// The shared 3x3 median kernels, on scalars and on the vectors both users
// of them take: the selection finds element 4 of nine, and the rank check
// accepts that element and refuses every other value, in every lane.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <random>

#include "smoothing/median3x3.h"

namespace {

using namespace dispsmooth::median3x3;

typedef int v4si __attribute__((vector_size(16)));
typedef std::uint8_t v16qu __attribute__((vector_size(16)));

template <class T>
T median_of_nine(const std::array<T, 9> &c) {
    T lo[3], mid[3], hi[3];
    for (int k = 0; k < 3; ++k) sort3(c[3 * k], c[3 * k + 1], c[3 * k + 2], lo[k], mid[k], hi[k]);
    return median_of_columns(lo[0], lo[1], lo[2], mid[0], mid[1], mid[2], hi[0], hi[1], hi[2]);
}

template <class T, class C>
C rank_fault_of(const std::array<T, 9> &c, T v) {
    C not_below{}, equal{};
    for (const T &n : c) count_rank(n, v, not_below, equal);
    return rank_fault(not_below, equal, 9);
}

TEST(Median3x3, SelectsElementFourOfNineAndTheRankCheckAcceptsOnlyIt) {
    std::mt19937 rng(7);
    for (int round = 0; round < 20000; ++round) {
        // Few distinct values, so that ties are common.
        const int range = round % 2 == 0 ? 4 : 256;
        std::array<int, 9> values;
        for (int &v : values) v = static_cast<int>(rng() % range);
        std::array<int, 9> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        ASSERT_EQ(median_of_nine(values), sorted[4]);
        for (int candidate = -1; candidate <= range; ++candidate)
            ASSERT_EQ((rank_fault_of<int, int>(values, candidate) != 0), candidate != sorted[4])
                << "candidate " << candidate << " round " << round;
    }
}

TEST(Median3x3, EveryLaneOfIntAndByteVectorsIsItsOwnSelection) {
    std::mt19937 rng(11);
    for (int round = 0; round < 2000; ++round) {
        const int range = round % 2 == 0 ? 3 : 256;
        std::array<v4si, 9> ints;
        std::array<v16qu, 9> bytes;
        for (int k = 0; k < 9; ++k)
            for (int lane = 0; lane < 16; ++lane) {
                const int v = static_cast<int>(rng() % range);
                if (lane < 4) ints[k][lane] = v;
                bytes[k][lane] = static_cast<std::uint8_t>(v);
            }
        const v4si vi = median_of_nine(ints);
        const v16qu vb = median_of_nine(bytes);
        const v4si int_fault = rank_fault_of<v4si, v4si>(ints, vi);
        const v16qu ok = rank_fault_of<v16qu, v16qu>(bytes, vb);
        for (int lane = 0; lane < 16; ++lane) {
            std::array<int, 9> column;
            for (int k = 0; k < 9; ++k) column[k] = bytes[k][lane];
            std::sort(column.begin(), column.end());
            ASSERT_EQ(vb[lane], column[4]) << "lane " << lane;
            ASSERT_EQ(ok[lane], 0) << "lane " << lane;
            if (lane < 4) {
                for (int k = 0; k < 9; ++k) column[k] = ints[k][lane];
                std::sort(column.begin(), column.end());
                ASSERT_EQ(vi[lane], column[4]) << "int lane " << lane;
                ASSERT_EQ(int_fault[lane], 0) << "int lane " << lane;
            }
        }
        // Any other value in one lane is reported in that lane alone.
        const int lane = round % 16;
        std::array<int, 9> column;
        for (int k = 0; k < 9; ++k) column[k] = bytes[k][lane];
        std::sort(column.begin(), column.end());
        for (int candidate = 0; candidate < 256; ++candidate) {
            v16qu v = vb;
            v[lane] = static_cast<std::uint8_t>(candidate);
            const v16qu fault = rank_fault_of<v16qu, v16qu>(bytes, v);
            for (int other = 0; other < 16; ++other)
                ASSERT_EQ(fault[other] != 0, other == lane && candidate != column[4])
                    << "lane " << other << " candidate " << candidate;
        }
        for (int candidate = -1; candidate <= range; ++candidate) {
            v4si v = vi;
            v[lane % 4] = candidate;
            for (int k = 0; k < 9; ++k) column[k] = ints[k][lane % 4];
            std::sort(column.begin(), column.end());
            const v4si fault = rank_fault_of<v4si, v4si>(ints, v);
            for (int other = 0; other < 4; ++other)
                ASSERT_EQ(fault[other] != 0, other == lane % 4 && candidate != column[4]);
        }
    }
}

}  // namespace
