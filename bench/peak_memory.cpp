// Peak memory of the fast smoothing on a 4000 x 3000 image of uniform noise
// (the worst case for the weight table: colour distances everywhere in
// 0 .. 3 * 255^2).  Usage: bench_peak_memory [radius [width height]]
// (default radius 5).
//
// Each measurement runs in a child process of its own, so that each starts
// from a clean peak: the growth of the peak resident set (getrusage
// ru_maxrss) over a baseline taken with the input and output arrays already
// allocated and written.  First weighted_median_fast alone (the fast path's
// own scratch), then the whole smooth_disparity_weighted_median, whose fast
// composition adds the packed guide and the result array (2 ints' worth per
// pixel, where the straightforward composition allocates 10 ints per pixel).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/make_scene.h"
#include "common/call_settings.h"
#include "common/parallel.h"
#include "dispsmooth/smoothing.h"

namespace {

double peak_mib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
}

// Runs measure() in a child process; false if the child failed.
template <class F>
bool in_child(F measure) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        measure();
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    const int radius = argc > 1 ? std::atoi(argv[1]) : 5;
    const int width = argc > 3 ? std::atoi(argv[2]) : 4000;
    const int height = argc > 3 ? std::atoi(argv[3]) : 3000;
    const bench::scene s = bench::make_scene(bench::scene_kind::noise, width, height);
    const double megapixels = static_cast<double>(width) * height / 1e6;

    std::printf("%d x %d noise, radius %d, sigmas 9 and 20, %d threads\n", width, height, radius,
                dispsmooth::thread_count_for_call());
    const bool fast_ok = in_child([&] {
        std::vector<int> result(s.disp.size(), 1);
        const double base = peak_mib();
        const auto start = std::chrono::steady_clock::now();
        // The noise image serves as the guide directly: its values are 0..255.
        weighted_median_fast(width, height, s.image.data(), s.disp.data(), 0, 255, radius, 9.0,
                             20.0, result.data());
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("weighted_median_fast:             +%7.1f MiB peak  (%.2f s, %.3f s/MP)\n",
                    peak_mib() - base, seconds, seconds / megapixels);
    });
    const bool whole_ok = in_child([&] {
        std::vector<int> disp = s.disp;
        const double base = peak_mib();
        const auto start = std::chrono::steady_clock::now();
        smooth_disparity_weighted_median(width, height, s.image.data(), disp.data(), 0, 255, radius,
                                         9.0, 20.0);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double arrays = 2.0 * sizeof(int) * width * height / (1024.0 * 1024.0);
        std::printf(
            "smooth_disparity_weighted_median: +%7.1f MiB peak  (%.2f s), of which about "
            "%.1f MiB are the packed guide and the result\n",
            peak_mib() - base, seconds, arrays);
    });
    return fast_ok && whole_ok ? 0 : 1;
}
