#include "make_scene.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>

namespace bench {

scene make_scene(scene_kind kind, int width, int height, unsigned seed) {
    scene s;
    s.width = width;
    s.height = height;
    const std::size_t n = static_cast<std::size_t>(width) * height;
    s.image.resize(3 * n);
    s.disp.resize(n);
    std::mt19937 gen(seed);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); };

    if (kind == scene_kind::noise) {
        for (int &v : s.image) v = uniform(0, 255);
        for (int &d : s.disp) d = uniform(0, 255);
        return s;
    }

    // Slowly varying background colours, disparity in horizontal bands.
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::size_t p = static_cast<std::size_t>(y) * width + x;
            s.image[3 * p + 0] = static_cast<int>(128 + 100 * std::sin(x / 97.0 + y / 151.0));
            s.image[3 * p + 1] = static_cast<int>(128 + 90 * std::cos(x / 131.0 - y / 83.0));
            s.image[3 * p + 2] = static_cast<int>(128 + 80 * std::sin((x + y) / 177.0));
            s.disp[p] = 20 + 12 * (y * 6 / height);
        }
    // Sharp-edged rectangles and discs of flat colour, each at its own depth,
    // their size in proportion to the image.
    const int shapes = 60;
    const int scale = std::max(4, std::min(width, height) / 8);
    for (int k = 0; k < shapes; ++k) {
        const int cx = uniform(0, width - 1), cy = uniform(0, height - 1);
        const int rx = uniform(scale / 4, scale), ry = uniform(scale / 4, scale);
        const bool disc = uniform(0, 1) == 1;
        const int colour[3] = {uniform(0, 255), uniform(0, 255), uniform(0, 255)};
        const int depth = uniform(60, 250);
        for (int y = std::max(0, cy - ry); y <= std::min(height - 1, cy + ry); ++y)
            for (int x = std::max(0, cx - rx); x <= std::min(width - 1, cx + rx); ++x) {
                const double u = double(x - cx) / rx, v = double(y - cy) / ry;
                if (disc && u * u + v * v > 1.0) continue;
                const std::size_t p = static_cast<std::size_t>(y) * width + x;
                for (int c = 0; c < 3; ++c) s.image[3 * p + c] = colour[c];
                s.disp[p] = depth;
            }
    }
    // Sensor noise on the colours, 5 % outliers among the disparities.
    for (int &v : s.image) v = std::clamp(v + uniform(-4, 4), 0, 255);
    for (int &d : s.disp)
        if (uniform(0, 19) == 0) d = uniform(0, 255);
    return s;
}

}  // namespace bench
