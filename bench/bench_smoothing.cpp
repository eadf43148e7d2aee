// Speed of the smoothing: the straightforward composition
// (smooth_disparity_weighted_median_reference) against the fast one
// (smooth_disparity_weighted_median) at radius 1, 2, 5, 9 and 15,
// sigma_space 9 and sigma_color 20, the fast one at 1 and 2 threads, on
//   - three generated 1000 x 1000 scenes: "natural" (piecewise-constant
//     disparities), "noise" (uniform noise, the worst case) and "real_like"
//     (slanted planes with block-matching noise and an invalid band, many
//     distinct disparities per window);
//   - the real Cones and Teddy scenes of the shared test images (450 x 375,
//     left.png as reference image, disp_noisy.png as disparity map), when
//     that folder is there, and any scene given as --scene=NAME:DIR (a
//     folder of the same two files; performance_report.py gives Aloe's);
//     these also at radius 25 and with sigma_space equal to the radius, the
//     fast smoothing alone there;
// and the 3x3 prefilter of the three colour channels alone.  Counters:
// megapixels per second (MP/s), seconds per megapixel (s/MP), and the share
// of pixels the fast smoothing settled without the exact path (settled%; 0
// for the straightforward evaluation, which takes the exact path for every
// pixel), of which by its first pass alone (first%), and the window pixels
// summed per output pixel over every pass it took (summed/px; the window has
// (2 radius + 1)^2, fewer at the edges: the first pass may stop early).
//
// The straightforward evaluation of the generated scenes at radius 9 and 15
// runs on their top-left 500 x 500 and 250 x 250 (it takes about 10 s and 25
// s per megapixel there); its figures are per megapixel all the same.  On
// the real scenes it runs on the whole image, twice (0.5 to 2 s a run; once
// on a scene given with --scene).
//
// Before the timings, the mean count of distinct disparities per 11 x 11
// window of the real_like scene and of the real scenes goes to standard
// error: the real_like scene is meant to be as spread as the real ones.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bench/make_scene.h"
#include "common/call_settings.h"
#include "common/parallel.h"
#include "dispsmooth/smoothing.h"
#include "smoothing/fast/guide_rows.h"
#include "smoothing/fast/pack_filtered_guide.h"
#include "smoothing/fast/settle_stats.h"
#include "smoothing/smooth_disparity_fast.h"

namespace {

constexpr int side = 1000;
constexpr double default_sigma_space = 9.0, sigma_color = 20.0;  // as in the example scene
const std::filesystem::path stereo_dir = std::filesystem::path(DISPSMOOTH_TESTDATA_DIR) / "stereo";
const char *const stereo_scenes[] = {"cones", "teddy"};

// The generated scene of a kind, side x side.
const bench::scene &generated(bench::scene_kind kind) {
    static std::map<int, bench::scene> full;
    auto it = full.find(static_cast<int>(kind));
    if (it == full.end())
        it = full.emplace(static_cast<int>(kind), bench::make_scene(kind, side, side)).first;
    return it->second;
}

// The generated scene of a kind cut to its top-left size x size pixels.
const bench::scene &generated_cut(bench::scene_kind kind, int size) {
    static std::map<std::pair<int, int>, bench::scene> cache;
    const auto key = std::make_pair(static_cast<int>(kind), size);
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
    const bench::scene &f = generated(kind);
    bench::scene cut;
    cut.width = cut.height = size;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const std::size_t p = static_cast<std::size_t>(y) * side + x;
            cut.disp.push_back(f.disp[p]);
            for (int c = 0; c < 3; ++c) cut.image.push_back(f.image[3 * p + c]);
        }
    return cache.emplace(key, std::move(cut)).first->second;
}

// Folders of scenes given with --scene=NAME:DIR, by name.
std::map<std::string, std::string> &extra_scenes() {
    static std::map<std::string, std::string> folders;
    return folders;
}

// A real scene: one given with --scene, else one of the shared test images
// (empty when its files are missing).
const bench::scene &stereo(const std::string &name) {
    static std::map<std::string, bench::scene> cache;
    auto it = cache.find(name);
    if (it == cache.end()) {
        const auto extra = extra_scenes().find(name);
        const std::string folder =
            extra != extra_scenes().end() ? extra->second : (stereo_dir / name).string();
        it = cache.emplace(name, bench::load_stereo_scene(folder)).first;
    }
    return it->second;
}

using scene_source = std::function<const bench::scene &()>;

void set_counters(benchmark::State &state, const bench::scene &s, double settled_percent,
                  double first_pass_percent, double summed_per_pixel = 0.0) {
    const double megapixels = static_cast<double>(s.width) * s.height / 1e6;
    state.counters["MP/s"] =
        benchmark::Counter(megapixels, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["s/MP"] = benchmark::Counter(
        megapixels, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["settled%"] = settled_percent;
    state.counters["first%"] = first_pass_percent;
    // Window pixels summed per output pixel, over all the passes it took
    // (0 for the straightforward evaluation).
    state.counters["summed/px"] = summed_per_pixel;
}

template <bool fast>
void smooth(benchmark::State &state, const scene_source &source, int radius, int threads,
            double sigma_space) {
    const bench::scene &s = source();
    dispsmooth::this_thread_settings.threads = threads;
    std::vector<int> disp;
    // The counts of the fast composition (smooth_disparity_weighted_median's
    // own code, which also reports them).
    dispsmooth::settle_stats counts;
    for (auto _ : state) {
        state.PauseTiming();  // a fresh input map for every run, not timed
        disp = s.disp;
        state.ResumeTiming();
        if (fast)
            dispsmooth::smooth_disparity_fast(s.width, s.height, s.image.data(), disp.data(), 0,
                                              255, radius, sigma_space, sigma_color, &counts);
        else
            smooth_disparity_weighted_median_reference(s.width, s.height, s.image.data(),
                                                       disp.data(), 0, 255, radius, sigma_space,
                                                       sigma_color);
        benchmark::DoNotOptimize(disp.data());
    }
    double settled_percent = 0.0, first_pass_percent = 0.0, summed = 0.0;
    if (fast) {
        // Every run smooths the same map the same way: the last one speaks for all.
        if (counts.pixels > 0) {
            settled_percent = 100.0 * counts.settled / counts.pixels;
            first_pass_percent = 100.0 * counts.first_pass / counts.pixels;
            summed = static_cast<double>(counts.window_work) / static_cast<double>(counts.pixels);
        }
    }
    set_counters(state, s, settled_percent, first_pass_percent, summed);
}

// The 3x3 median of the three colour channels: straightforward, channel by
// channel as the straightforward composition runs it; fast, as the fast
// composition runs it, in one pass into the packed guide.
template <bool fast>
void prefilter(benchmark::State &state, int threads) {
    const bench::scene &s = generated(bench::scene_kind::natural);
    dispsmooth::this_thread_settings.threads = threads;
    const std::size_t n = s.disp.size();
    std::vector<int> channel(n), filtered(n);
    std::vector<std::uint8_t> packed(dispsmooth::packed_row_bytes(s.width) *
                                     static_cast<std::size_t>(s.height));
    for (auto _ : state) {
        if (fast) {
            benchmark::DoNotOptimize(
                dispsmooth::pack_filtered_guide(s.width, s.height, s.image.data(), packed.data()));
            benchmark::DoNotOptimize(packed.data());
            continue;
        }
        for (int c = 0; c < 3; ++c) {
            for (std::size_t p = 0; p < n; ++p) channel[p] = s.image[3 * p + c];
            median(s.width, s.height, channel.data(), 1, filtered.data());
            benchmark::DoNotOptimize(filtered.data());
        }
    }
    const double megapixels = static_cast<double>(s.width) * s.height / 1e6;
    state.counters["MP/s"] =
        benchmark::Counter(megapixels, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["s/MP"] = benchmark::Counter(
        megapixels, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The benchmarks of one scene: the straightforward evaluation at 1 thread
// (reference(radius) gives its scene, iterations its run count), the fast
// one at 1 and 2 threads for at least min_time seconds each.
// A real scene also runs at radius 25 and, under the name
// "<name> (sigma_space = radius)", with sigma_space equal to the radius (the
// fast smoothing alone there: the straightforward one would take minutes).
void register_scene(const std::string &name, const scene_source &whole,
                    const std::function<scene_source(int)> &reference, int iterations,
                    double min_time, bool real) {
    for (const bool sigma_is_radius : {false, true}) {
        if (sigma_is_radius && !real) continue;
        for (int radius : {1, 2, 5, 9, 15, 25}) {
            if (radius == 25 && !real) continue;
            const double sigma = sigma_is_radius ? radius : default_sigma_space;
            const std::string base = "smooth/" + name +
                                     (sigma_is_radius ? " (sigma_space = radius)" : "") +
                                     "/radius:" + std::to_string(radius);
            if (radius < 25 && !sigma_is_radius)
                benchmark::RegisterBenchmark((base + "/reference").c_str(), smooth<false>,
                                             reference(radius), radius, 1, sigma)
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime()
                    ->Iterations(iterations);
            for (int threads : {1, 2})
                benchmark::RegisterBenchmark(
                    (base + "/fast/threads:" + std::to_string(threads)).c_str(), smooth<true>,
                    whole, radius, threads, sigma)
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime()
                    ->MinTime(min_time);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    // --scene=NAME:DIR adds the scene of DIR (left.png, disp_noisy.png) as
    // NAME, like Cones and Teddy; performance_report.py gives Aloe's, whose
    // map OpenCV's block matcher makes.  Taken out before the benchmark
    // library reads the rest.
    int kept = 1;
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        const std::size_t colon = arg.find(':');
        if (arg.rfind("--scene=", 0) == 0 && colon != std::string::npos && colon > 8)
            extra_scenes()[arg.substr(8, colon - 8)] = arg.substr(colon + 1);
        else
            argv[kept++] = argv[a];
    }
    argc = kept;

    const std::pair<bench::scene_kind, const char *> kinds[] = {
        {bench::scene_kind::natural, "natural"},
        {bench::scene_kind::noise, "noise"},
        {bench::scene_kind::real_like, "real_like"}};
    for (const auto &[kind, name] : kinds) {
        const bench::scene_kind k = kind;
        register_scene(
            name, [k]() -> const bench::scene & { return generated(k); },
            [k](int radius) -> scene_source {
                const int size = radius <= 5 ? side : radius <= 9 ? 500 : 250;
                return [k, size]() -> const bench::scene & { return generated_cut(k, size); };
            },
            1, 1.0, false);
    }

    // The real scenes: small, so the straightforward evaluation runs on the
    // whole image.
    std::vector<std::string> names, real_names;
    if (!std::filesystem::is_directory(stereo_dir))
        std::fprintf(stderr,
                     "bench_smoothing: shared test images not found at %s: the Cones and Teddy "
                     "benchmarks are skipped\n",
                     stereo_dir.c_str());
    else
        names.assign(std::begin(stereo_scenes), std::end(stereo_scenes));
    for (const auto &extra : extra_scenes()) names.push_back(extra.first);
    for (const std::string &name : names) {
        if (stereo(name).width == 0) {
            const auto extra = extra_scenes().find(name);
            std::fprintf(stderr,
                         "bench_smoothing: %s: left.png or disp_noisy.png missing or unreadable: "
                         "skipped\n",
                         extra != extra_scenes().end() ? extra->second.c_str()
                                                       : (stereo_dir / name).c_str());
            continue;
        }
        real_names.push_back(name);
        const scene_source whole = [name]() -> const bench::scene & { return stereo(name); };
        // The straightforward evaluation runs twice on the small shared
        // scenes, once on a scene given (Aloe's 1.4 MP take 5 to 35 s a run).
        const int iterations = extra_scenes().count(name) != 0 ? 1 : 2;
        register_scene(
            name, whole, [whole](int) { return whole; }, iterations, 0.5, true);
    }

    benchmark::RegisterBenchmark("prefilter_3x3/reference", prefilter<false>, 1)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MinTime(1.0);
    for (int threads : {1, 2})
        benchmark::RegisterBenchmark(
            ("prefilter_3x3/fast/threads:" + std::to_string(threads)).c_str(), prefilter<true>,
            threads)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->MinTime(1.0);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    // How spread the maps are: distinct disparities per 11 x 11 window.
    std::fprintf(stderr, "Mean distinct disparities per 11 x 11 window: real_like %.1f",
                 bench::mean_distinct_disparities(generated(bench::scene_kind::real_like), 5, 3));
    for (const std::string &name : real_names)
        std::fprintf(stderr, ", %s %.1f", name.c_str(),
                     bench::mean_distinct_disparities(stereo(name), 5, 3));
    std::fprintf(stderr, "\n");

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
