// median with the same result, computed faster.
//
// The value median stores is element k / 2 of the k window values in
// ascending order: a property of the multiset of values, so any correct
// selection yields it.  Inside the image, for radius 1, the kernels of
// smoothing/median3x3.h select it four pixels at a time (see there for the
// selection and the rank check that verifies every result), rows shared among
// OpenMP threads.  Border pixels (clipped windows) and other radii select
// element k / 2 with nth_element, checked by rank the same way.  Like
// median's order check, a failed check ends the process with "median".
#include "dispsmooth/smoothing.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "common/buffer.h"
#include "common/parallel.h"
#include "smoothing/median3x3.h"

namespace {

typedef int v4si __attribute__((vector_size(16)));

v4si load4(const int *p) {
    v4si v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store4(int *p, v4si v) { std::memcpy(p, &v, sizeof v); }

using dispsmooth::median3x3::count_rank;
using dispsmooth::median3x3::median_of_columns;
using dispsmooth::median3x3::rank_fault;
using dispsmooth::median3x3::sort3;

struct thread_scratch {
    dispsmooth::buffer_ptr<int> window;       // one clipped window
    dispsmooth::buffer_ptr<int> lo, mid, hi;  // sorted columns of one row (radius 1)
};

// Element k / 2 of the clipped window of (i, j), checked.
int select_clipped(int width, int height, const int *src_arr, long long r, long long i, long long j,
                   int *values) {
    const long long dy_lo = std::max(-r, -i), dy_hi = std::min(r, height - 1 - i);
    const long long dx_lo = std::max(-r, -j), dx_hi = std::min(r, width - 1 - j);
    std::size_t k = 0;
    for (long long dy = dy_lo; dy <= dy_hi; ++dy)
        for (long long dx = dx_lo; dx <= dx_hi; ++dx)
            values[k++] = src_arr[(i + dy) * width + (j + dx)];
    std::nth_element(values, values + k / 2, values + k);
    const int v = values[k / 2];
    std::size_t not_below = 0, equal = 0;
    for (std::size_t a = 0; a < k; ++a) count_rank(values[a], v, not_below, equal);
    if (rank_fault(not_below, equal, k)) error_handler("median");
    return v;
}

// Radius 1, interior row i (0 < i < height - 1), columns 1 .. width - 2;
// width >= 3.
void median3x3_row(int width, const int *src_arr, long long i, thread_scratch &s, int *dst_arr) {
    const int *up = src_arr + (i - 1) * width;
    const int *row = src_arr + i * width;
    const int *down = src_arr + (i + 1) * width;
    int *lo = s.lo.get(), *mid = s.mid.get(), *hi = s.hi.get();
    int x = 0;
    for (; x + 4 <= width; x += 4) {
        v4si l, m, h;
        sort3(load4(up + x), load4(row + x), load4(down + x), l, m, h);
        store4(lo + x, l);
        store4(mid + x, m);
        store4(hi + x, h);
    }
    for (; x < width; ++x) sort3(up[x], row[x], down[x], lo[x], mid[x], hi[x]);

    int *out = dst_arr + i * width;
    x = 1;
    for (; x + 4 <= width - 1; x += 4) {
        const v4si v = median_of_columns(load4(lo + x - 1), load4(lo + x), load4(lo + x + 1),
                                         load4(mid + x - 1), load4(mid + x), load4(mid + x + 1),
                                         load4(hi + x - 1), load4(hi + x), load4(hi + x + 1));
        // Rank check of the four results against their nine values.
        v4si not_below = {0, 0, 0, 0}, equal = {0, 0, 0, 0};
        for (const int *r : {up, row, down})
            for (int dx = -1; dx <= 1; ++dx) count_rank(load4(r + x + dx), v, not_below, equal);
        const v4si bad = rank_fault(not_below, equal, 9);
        if (bad[0] | bad[1] | bad[2] | bad[3]) error_handler("median");
        store4(out + x, v);
    }
    for (; x < width - 1; ++x) {
        const int v = median_of_columns(lo[x - 1], lo[x], lo[x + 1], mid[x - 1], mid[x], mid[x + 1],
                                        hi[x - 1], hi[x], hi[x + 1]);
        int not_below = 0, equal = 0;
        for (const int *r : {up, row, down})
            for (int dx = -1; dx <= 1; ++dx) count_rank(r[x + dx], v, not_below, equal);
        if (rank_fault(not_below, equal, 9)) error_handler("median");
        out[x] = v;
    }
}

}  // namespace

void median_fast(int width, int height, const int *src_arr, int radius, int *dst_arr) {
    if (width <= 0 || height <= 0) return;
    if (radius < 0) error_handler("median");

    const long long side = 2 * static_cast<long long>(radius) + 1;
    const std::size_t capacity = static_cast<std::size_t>(std::min<long long>(side, height)) *
                                 static_cast<std::size_t>(std::min<long long>(side, width));
    const bool three_by_three = radius == 1 && width >= 3 && height >= 3;

    // Per-thread scratch, allocated before the threads start.
    // Small images stay on one thread: starting threads would cost more.
    const long long work =
        static_cast<long long>(width) * height * static_cast<long long>(capacity);
    const int threads = work >= (1LL << 18) ? dispsmooth::thread_count_for_call() : 1;
    std::vector<thread_scratch> scratch(static_cast<std::size_t>(threads));
    for (thread_scratch &s : scratch) {
        s.window = dispsmooth::allocate_buffer<int>(capacity, "median window");
        if (three_by_three) {
            s.lo =
                dispsmooth::allocate_buffer<int>(static_cast<std::size_t>(width), "median columns");
            s.mid =
                dispsmooth::allocate_buffer<int>(static_cast<std::size_t>(width), "median columns");
            s.hi =
                dispsmooth::allocate_buffer<int>(static_cast<std::size_t>(width), "median columns");
        }
    }

    dispsmooth::for_each_chunk(
        threads, height, 16, [&](int thread, long long begin, long long end) {
            thread_scratch &s = scratch[static_cast<std::size_t>(thread)];
            for (long long ii = begin; ii < end; ++ii) {
                if (three_by_three && ii > 0 && ii < height - 1) {
                    median3x3_row(width, src_arr, ii, s, dst_arr);
                    dst_arr[ii * width] =
                        select_clipped(width, height, src_arr, 1, ii, 0, s.window.get());
                    dst_arr[ii * width + width - 1] =
                        select_clipped(width, height, src_arr, 1, ii, width - 1, s.window.get());
                } else {
                    for (long long j = 0; j < width; ++j)
                        dst_arr[ii * width + j] =
                            select_clipped(width, height, src_arr, radius, ii, j, s.window.get());
                }
            }
        });
}
