// Generated scenes for the smoothing benchmarks.
#ifndef DISPSMOOTH_BENCH_MAKE_SCENE_H
#define DISPSMOOTH_BENCH_MAKE_SCENE_H

#include <vector>

namespace bench {

enum class scene_kind {
    natural,  // smooth colours, sharp-edged shapes, noise; piecewise-constant
              // disparities with 5 % outliers
    noise     // every colour sample and disparity uniformly random: the worst case
};

struct scene {
    int width = 0, height = 0;
    std::vector<int> image;  // RGB, 0..255
    std::vector<int> disp;   // 0..255
};

scene make_scene(scene_kind kind, int width, int height, unsigned seed = 1);

}  // namespace bench

#endif
