// weighted_median with the same result to the last bit, computed faster: the
// setup of one call, the split of its rows among OpenMP threads, and its
// failures.  Why the result is weighted_median's: see smoothing/fast/README.md,
// "Why the result stays exact".
#include "smoothing/fast/run_weighted_median_fast.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "common/call_settings.h"
#include "common/parallel.h"
#include "dispsmooth/smoothing.h"
#include "smoothing/fast/engine.h"
#include "smoothing/fast/settle_margins.h"
#include "smoothing/fast/vector_isa.h"
#include "smoothing/progress.h"

namespace {

// Repacked guide rows of all threads together stay within this.
constexpr std::size_t ring_budget_bytes = std::size_t{16} << 20;

// Below this many window pixels in all (well under a millisecond of work)
// starting threads costs more than it saves: the call stays on one thread.
constexpr long long min_parallel_work = 1LL << 17;

// Rows a thread takes at a time: half the rows left over the threads,
// between these bounds (for_each_shrinking_chunk).  Within such a run of
// rows each row's first-pass candidates come from the row above; the first
// row of each run has poorer ones and settles fewer pixels in the first
// pass, so runs are long at first, and short at the end, where the threads
// would otherwise wait for the one with the last long run.
constexpr int least_rows_per_chunk = 8, most_rows_per_chunk = 64;

// -log2(e) * q / (sigma * sigma) + offset, in single precision, for the
// first pass's exponents.  Not a number where sigma^2 is 0 or not a number:
// weighted_histo's centre term 0 / sigma^2 is then not a number, every total
// too, and no estimate may settle anything.  At least -1e30, which stays
// finite through the estimate and still gives a weight of 0, where the
// quotient is huge or infinite.
float lane_exponent(double q, double sigma, double offset) {
    const double quotient = q / (sigma * sigma);
    if (std::isnan(0.0 / (sigma * sigma)) || std::isnan(quotient))
        return std::numeric_limits<float>::quiet_NaN();
    return static_cast<float>(std::max(offset - 1.4426950408889634 * quotient, -1e30));
}

// The least reach (in both directions) at which the first pass may stop
// early: below it, windows seldom stop before their last ring, and the
// tests after each ring and the ring order cost more than they save (see
// bench_smoothing).
constexpr int early_stop_reach = 10;

// Bounds on the exact weight of the neighbour at each offset of the window
// (engine_job::weight_bound), for the first pass's early stop.  A neighbour
// at squared distance S of squared colour distance C weighs
//     exp(-(C / sigma_color^2 + S / sigma_space^2))
// in double (weighted_histo).  C / sigma_color^2 is at least 0 (or not a
// number), so the rounded sum in the exponent is at least S / sigma_space^2,
// and the weight at most exp(-(0 + S / sigma_space^2)), the weight at C = 0
// computed the same way, give or take exp's own error of under one unit in
// the last place.  The bounds of a ring's offsets are later summed in double
// (at most 4 * 127 terms, relative error below 2^-44), those sums added (at
// most 64, below 2^-46) and rounded once to float (2^-24): a factor of
// 1 + 2^-16 covers all of these with room to spare.  A sigma that is not a
// number gives bounds that are not numbers, which settle nothing.
std::vector<double> weight_bounds(int reach_x, int reach_y, double sigma_space,
                                  double sigma_color) {
    const double colour_scale = sigma_color * sigma_color, space_scale = sigma_space * sigma_space;
    std::vector<double> bound;
    bound.reserve(dispsmooth::window_pixels(reach_x, reach_y));
    for (int dy = -reach_y; dy <= reach_y; ++dy)
        for (int dx = -reach_x; dx <= reach_x; ++dx)
            bound.push_back(std::exp(-(0.0 / colour_scale + (dx * dx + dy * dy) / space_scale)) *
                            (1.0 + 0x1p-16));
    return bound;
}

// Index of the first pixel (row-major) whose window holds a disparity outside
// min_d..max_d, or width * height when there is none.
long long first_invalid_window(int width, int height, const int *disp_arr, int min_d, int max_d,
                               long long r) {
    const long long npixels = static_cast<long long>(width) * height;
    // Rows are scanned in parallel, each up to its first invalid value; the
    // least over the threads is the answer.
    const int threads = npixels >= (1LL << 18) ? dispsmooth::thread_count_for_call() : 1;
    std::vector<long long> firsts(static_cast<std::size_t>(threads), npixels);
    dispsmooth::for_each_chunk(
        threads, height, (height + threads - 1) / threads,
        [&](int thread, long long begin, long long end) {
            long long &first = firsts[static_cast<std::size_t>(thread)];
            for (long long y = begin; y < end; ++y) {
                // The earliest centre that sees row y lies in row max(0, y - r).
                const int *row = disp_arr + y * width;
                for (long long x = 0; x < width; ++x) {
                    if (row[x] < min_d || row[x] > max_d) {
                        first =
                            std::min(first, std::max(0LL, y - r) * width + std::max(0LL, x - r));
                        break;
                    }
                }
            }
        });
    const long long first = *std::min_element(firsts.begin(), firsts.end());
    return first;
}

bool guide_in_byte_range(long long n, const int *guide_arr) {
    for (long long p = 0; p < 3 * n; ++p)
        if (guide_arr[p] < 0 || guide_arr[p] > 255) return false;
    return true;
}

}  // namespace

dispsmooth::thread_scratch::thread_scratch(std::size_t nbins, int reach_x, int reach_y)
    // smooth_row and the second pass mark bin 0 besides the bins of the window.
    : histo(nbins, window_pixels(reach_x, reach_y) + 1),
      distances(
          allocate_buffer<int>(2 * static_cast<std::size_t>(reach_x) + 5, "colour distances")),
      indices(allocate_buffer<std::uint32_t>(2 * static_cast<std::size_t>(reach_x) + 5,
                                             "colour distances")),
      rows(allocate_buffer<const std::uint8_t *>(2 * static_cast<std::size_t>(reach_y) + 1,
                                                 "packed guide rows")) {}

void dispsmooth::run_weighted_median_fast(int width, int height, const int *guide_arr,
                                          const std::uint8_t *packed_guide, const int *disp_arr,
                                          int min_d, int max_d, int radius, double sigma_space,
                                          double sigma_color, int *result_arr, settle_stats *stats,
                                          masked_levels mask) {
    if (stats != nullptr) *stats = settle_stats{};
    if (min_d > max_d) error_handler("weighted_median");
    if (width <= 0 || height <= 0) return;

    const std::size_t nbins = static_cast<std::size_t>(static_cast<long long>(max_d) - min_d + 1);
    const long long npixels = static_cast<long long>(width) * height;
    // Offsets reach at most the image's extent, however large the radius.
    const int reach_x = radius < 0 ? 0 : std::min(radius, width - 1);
    const int reach_y = radius < 0 ? 0 : std::min(radius, height - 1);

    // Per-thread scratch, allocated before the threads start so that a
    // refused allocation ends the process from this thread.
    const long long work = npixels * (2LL * reach_x + 1) * (2LL * reach_y + 1);
    const int threads = work >= min_parallel_work ? thread_count_for_call() : 1;
    std::vector<std::unique_ptr<thread_scratch>> scratch;
    scratch.reserve(static_cast<std::size_t>(threads));
    for (int t = 0; t < threads; ++t)
        scratch.push_back(std::make_unique<thread_scratch>(nbins, reach_x, reach_y));

    // An empty window has a total weight of 0.
    if (radius < 0) error_handler("median_histo");

    // A masked call's levels come from its caller's own mapping (-1 marks an
    // invalid pixel): there is nothing to check.
    const long long limit =
        mask.masked ? npixels : first_invalid_window(width, height, disp_arr, min_d, max_d, radius);

    const std::size_t ring_slots =
        static_cast<std::size_t>(std::min(2LL * reach_y + 1, static_cast<long long>(height)));
    const bool byte_guide = packed_guide || guide_in_byte_range(npixels, guide_arr);
    if (byte_guide && !packed_guide &&
        ring_slots * packed_row_bytes(width) * static_cast<std::size_t>(threads) <=
            ring_budget_bytes) {
        for (auto &s : scratch)
            s->ring = std::make_unique<guide_ring>(width, static_cast<int>(ring_slots), guide_arr);
    }

    const weight_table weights(reach_x, reach_y, work, sigma_space, sigma_color);
    const std::size_t window = window_pixels(reach_x, reach_y);

    engine_job job{};
    job.width = width;
    job.height = height;
    job.guide_arr = guide_arr;
    job.disp_arr = disp_arr;
    job.min_d = min_d;
    job.max_d = max_d;
    job.reach_x = reach_x;
    job.reach_y = reach_y;
    job.byte_guide = byte_guide;
    job.packed = packed_guide;
    job.weights = &weights;
    job.result_arr = result_arr;
    job.masked = mask.masked;
    job.fill = mask.fill;
    job.by_window = (packed_guide || scratch[0]->ring) && reach_x <= weights.table_x() &&
                    reach_y <= weights.table_y();
    if (job.by_window) {
        for (auto &s : scratch) {
            s->window_index = allocate_buffer<std::uint32_t>(window + 4, "window layout");
            s->window_disp = allocate_buffer<int>(window + 4, "window layout");
            s->window_weight = allocate_buffer<std::uint64_t>(window + 4, "window layout");
        }
    }
    job.estimate_lanes = job.by_window ? first_pass(width) : nullptr;
    job.bisect_bins = within_bin_search(job.estimate_lanes);
    job.estimate_pairs = first_pass_pairs(job.estimate_lanes);
    job.bisect_pairs = within_bin_search_pairs(job.estimate_pairs);
    job.use_lanes = job.estimate_lanes != nullptr;
    std::vector<float> space_exponent;
    std::vector<double> weight_bound;
    if (job.use_lanes) {
        for (int dy = -reach_y; dy <= reach_y; ++dy)
            for (int dx = -reach_x; dx <= reach_x; ++dx)
                space_exponent.push_back(lane_exponent(dx * dx + dy * dy, sigma_space, 127.0));
        const settle_factors factors = settle_margins(window);
        job.lane = lane_constants{width,
                                  mask.masked,
                                  mask.coarse_shift,
                                  reach_x,
                                  reach_y,
                                  lane_exponent(1.0, sigma_color, 0.0),
                                  space_exponent.data(),
                                  factors.below_float,
                                  factors.above_float};
        job.below = factors.below_double;
        job.above = factors.above_double;
        if (mask.coarse_shift == 0 && std::min(reach_x, reach_y) >= early_stop_reach) {
            weight_bound = weight_bounds(reach_x, reach_y, sigma_space, sigma_color);
            job.weight_bound = weight_bound.data();
        }
        for (auto &s : scratch) {
            s->estimates = allocate_buffer<float>(window * lanes, "weight estimates");
            if (job.estimate_pairs != nullptr)
                s->pair_estimates = allocate_buffer<float>(window * lanes, "weight estimates");
            if (mask.coarse_shift >= keep_from_shift)
                s->kept_neighbours = allocate_buffer<float>(window * 4 * lanes, "weight estimates");
            if (job.weight_bound != nullptr) {
                const std::size_t rings = static_cast<std::size_t>(std::max(reach_x, reach_y)) + 1;
                s->rest = allocate_buffer<float>(rings, "weight estimates");
                s->ring_bound = allocate_buffer<double>(rings, "weight estimates");
                s->tails = std::make_unique<ring_tail_table>(reach_x, reach_y);
            }
            s->dense = allocate_buffer<double>(
                static_cast<std::size_t>(
                    thread_scratch::dense_histograms(static_cast<long long>(window))) *
                    thread_scratch::dense_bins,
                "disparity histogram");
        }
    }

    // First pixel whose histogram was rejected, over all threads.
    std::atomic<long long> first_rejected{npixels};
    // Shown on standard error only when it is a terminal.
    progress_meter *const progress = progress_start(height);

    // Rows in chunks, handed out in order to the threads as each becomes
    // free; each thread remembers the last row it computed whole, whose
    // results seed the candidates of the row below.  The caller's cancel
    // flag is looked at between chunks.
    const std::atomic<bool> *const cancel = this_thread_settings.cancel;
    std::vector<int> last_whole_rows(static_cast<std::size_t>(threads), -1);
    const bool finished = for_each_shrinking_chunk(
        threads, height, least_rows_per_chunk, most_rows_per_chunk,
        [&](int thread, long long begin, long long end) {
            thread_scratch &mine = *scratch[static_cast<std::size_t>(thread)];
            int &last_whole_row = last_whole_rows[static_cast<std::size_t>(thread)];
            for (int i = static_cast<int>(begin); i < end; ++i) {
                // A row of a wide window may take a while: the flag is looked
                // at before each.
                if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) return;
                const long long row_start = static_cast<long long>(i) * width;
                // Pixels from the first failure on need not be computed.
                const long long stop =
                    std::min(limit, first_rejected.load(std::memory_order_relaxed));
                if (row_start < stop) {
                    const int j_end =
                        static_cast<int>(std::min<long long>(width, stop - row_start));
                    const int *above = last_whole_row == i - 1 && i > 0
                                           ? result_arr + static_cast<std::ptrdiff_t>(i - 1) * width
                                           : nullptr;
                    mine.pixels += j_end;
                    const int rejected = smooth_row(job, mine, i, j_end, above);
                    if (rejected >= 0) {
                        const long long p = row_start + rejected;
                        long long seen = first_rejected.load(std::memory_order_relaxed);
                        while (p < seen && !first_rejected.compare_exchange_weak(seen, p)) {
                        }
                    } else if (j_end == width) {
                        last_whole_row = i;
                    }
                }
                // Row i is complete here: the one place to report progress.
                progress_row_done(progress);
            }
        },
        cancel);
    // Erase the indicator before any fatal message.
    progress_finish(progress);
    // Cancelled: the result is incomplete and the caller throws it away.
    if (!finished || call_cancelled()) return;
    if (stats != nullptr) {
        for (const auto &s : scratch) {
            stats->pixels += s->pixels;
            stats->settled += s->settled;
            stats->first_pass += s->first_pass;
            stats->window_work += s->window_work;
        }
    }

    // The failure the straightforward evaluation reaches first, with its
    // message: it stops at the first pixel, in row-major order, whose window
    // holds a disparity outside min_d..max_d ("weighted_histo") or whose
    // histogram median_histo rejects ("median_histo"), the former first at
    // the same pixel.  limit is the first of the former, and no pixel from it
    // on was computed; first_rejected is the first of the latter before it
    // (threads record a rejected histogram instead of stopping at once).
    if (first_rejected.load() < limit) error_handler("median_histo");
    if (limit < npixels) error_handler("weighted_histo");
}
