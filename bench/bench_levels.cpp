// Timing of the smoothing of levels (smoothing/levels.h) on one scene file,
// for bench/bench_levels.py, which makes the scenes (semi-global matcher
// maps, KITTI's prediction) and times the peer in the same run.
//
// Usage: bench_levels SCENE RADIUS THREADS REPEATS [fill]
// SCENE holds int32 width, height, min_d, max_d, then width x height x 3
// bytes of reference (R, G, B), width x height int32 levels and width x
// height bytes of validity (0 invalid).  Prints one line:
//   seconds=<best of REPEATS> settled=<percent> first=<percent> summed=<pixels>
// with the share of the computed pixels settled without the exact path and
// by the first pass alone, and the window pixels summed per computed pixel
// over every pass.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/call_settings.h"
#include "smoothing/fast/settle_stats.h"
#include "smoothing/levels.h"

int main(int argc, char **argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: bench_levels SCENE RADIUS THREADS REPEATS [fill]\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::int32_t header[4];
    if (!in.read(reinterpret_cast<char *>(header), sizeof header)) {
        std::fprintf(stderr, "bench_levels: cannot read %s\n", argv[1]);
        return 1;
    }
    const int width = header[0], height = header[1], min_d = header[2], max_d = header[3];
    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    std::vector<std::uint8_t> rgb(3 * n), valid(n);
    std::vector<int> levels(n);
    in.read(reinterpret_cast<char *>(rgb.data()), static_cast<std::streamsize>(3 * n));
    in.read(reinterpret_cast<char *>(levels.data()), static_cast<std::streamsize>(4 * n));
    in.read(reinterpret_cast<char *>(valid.data()), static_cast<std::streamsize>(n));
    if (!in) {
        std::fprintf(stderr, "bench_levels: %s is cut short\n", argv[1]);
        return 1;
    }
    const std::vector<int> image(rgb.begin(), rgb.end());
    const int radius = std::atoi(argv[2]), threads = std::atoi(argv[3]),
              repeats = std::max(1, std::atoi(argv[4]));
    const bool fill = argc > 5 && std::string(argv[5]) == "fill";
    const bool all_valid = std::all_of(valid.begin(), valid.end(), [](auto v) { return v != 0; });
    dispsmooth::this_thread_settings.threads = threads;

    double best = 1e300;
    dispsmooth::settle_stats stats;
    for (int k = 0; k < repeats; ++k) {
        std::vector<int> disp = levels;
        std::vector<std::uint8_t> holds = valid;
        const auto start = std::chrono::steady_clock::now();
        dispsmooth::smooth_levels(width, height, image.data(), disp.data(),
                                  all_valid ? nullptr : holds.data(), min_d, max_d, radius, 9.0,
                                  20.0, fill, &stats);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    const double pixels = static_cast<double>(std::max(1LL, stats.pixels));
    std::printf("seconds=%.4f settled=%.2f first=%.2f summed=%.1f\n", best,
                100.0 * stats.settled / pixels, 100.0 * stats.first_pass / pixels,
                static_cast<double>(stats.window_work) / pixels);
    return 0;
}
