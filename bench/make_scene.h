// Scenes for the smoothing benchmarks: generated ones, and the real stereo
// scenes of the shared test images.
#ifndef DISPSMOOTH_BENCH_MAKE_SCENE_H
#define DISPSMOOTH_BENCH_MAKE_SCENE_H

#include <string>
#include <vector>

namespace bench {

enum class scene_kind {
    natural,   // smooth colours, sharp-edged shapes, noise; piecewise-constant
               // disparities with 5 % outliers
    noise,     // every colour sample and disparity uniformly random: the worst case
    real_like  // what a block matcher makes of slanted surfaces: planes with
               // sub-level noise, blobs and specks of wrong matches (many in
               // flat-coloured regions), scattered zeros, and a band of zeros
               // (no match possible) at the left edge; many distinct
               // disparities in every window
};

struct scene {
    int width = 0, height = 0;
    std::vector<int> image;  // RGB, 0..255
    std::vector<int> disp;   // 0..255
};

scene make_scene(scene_kind kind, int width, int height, unsigned seed = 1);

// A real stereo scene from folder: "left.png" as the RGB image and
// "disp_noisy.png" as the disparity map.  An empty scene (width 0) when
// either file is missing or the two sizes differ.
scene load_stereo_scene(const std::string &folder);

// Mean count of distinct disparities (those >= 0) in the (2 radius + 1)^2
// windows that lie wholly inside the map, taking the window around every
// step-th pixel of every step-th row; 0 when no window fits.
double mean_distinct_disparities(const scene &s, int radius, int step);

}  // namespace bench

#endif
