#include "bench/make_scene.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>

namespace bench {

namespace {

// A block matcher's output on a scene of slanted surfaces, on the scale of
// 8-bit stereo maps (disparity in quarter pixels, 0 = no match).
//
// The image is cut into jittered Voronoi cells, one surface each: a plane of
// true disparity with a slope of up to 0.35 levels per pixel in x and y, a
// base colour with smooth shading, and either a fine texture or (one cell in
// three) a nearly flat colour.  The matcher's answer is the plane rounded
// after Gaussian noise (sd 0.8 levels, 1.6 on flat cells), spoilt by
// horizontal blobs of one wrong disparity each (with +-2 jitter; mostly on
// the flat cells, where a matcher has nothing to hold on to), 2 % single
// wrong values and 1.5 % zeros.  The left 64/450 of the columns, where the right view has no
// counterpart, and the two right-most columns, where the matching block does
// not fit, are zero.
void make_real_like(scene &s, std::mt19937 &gen) {
    const int width = s.width, height = s.height;
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); };
    auto uniform_real = [&](double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(gen);
    };
    auto chance = [&](double p) { return uniform_real(0.0, 1.0) < p; };

    struct surface {
        double sx, sy;      // seed point
        double d0, gx, gy;  // true disparity at the seed, slopes
        int colour[3];
        int texture;  // amplitude of the fine texture
        double phase;
    };
    const int cell = std::max(16, std::min(width, height) / 10);
    const int cols = (width + cell - 1) / cell, rows = (height + cell - 1) / cell;
    std::vector<surface> surfaces;
    for (int cy = 0; cy < rows; ++cy)
        for (int cx = 0; cx < cols; ++cx) {
            surface f;
            f.sx = cx * cell + uniform_real(0.0, cell);
            f.sy = cy * cell + uniform_real(0.0, cell);
            f.d0 = uniform_real(40.0, 220.0);
            f.gx = uniform_real(-0.35, 0.35);
            f.gy = uniform_real(-0.35, 0.35);
            for (int &c : f.colour) c = uniform(40, 215);
            f.texture = uniform(0, 2) == 0 ? 2 : 28;
            f.phase = uniform_real(0.0, 6.3);
            surfaces.push_back(f);
        }

    // The surface of every pixel: the nearest seed among the 3 x 3 cells around.
    const std::size_t n = static_cast<std::size_t>(width) * height;
    std::vector<int> owner(n);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int cx = x / cell, cy = y / cell;
            double best = 1e300;
            for (int ny = std::max(0, cy - 1); ny <= std::min(rows - 1, cy + 1); ++ny)
                for (int nx = std::max(0, cx - 1); nx <= std::min(cols - 1, cx + 1); ++nx) {
                    const surface &f = surfaces[static_cast<std::size_t>(ny) * cols + nx];
                    const double d2 = (x - f.sx) * (x - f.sx) + (y - f.sy) * (y - f.sy);
                    if (d2 < best) {
                        best = d2;
                        owner[static_cast<std::size_t>(y) * width + x] = ny * cols + nx;
                    }
                }
        }

    std::normal_distribution<double> gauss(0.0, 1.0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::size_t p = static_cast<std::size_t>(y) * width + x;
            const surface &f = surfaces[owner[p]];
            const double shade = 15.0 * std::sin(x / 53.0 + y / 71.0 + f.phase);
            const double stripes = std::sin(0.9 * x + 0.4 * y + f.phase) * f.texture / 2.0;
            for (int c = 0; c < 3; ++c)
                s.image[3 * p + c] = std::clamp(
                    static_cast<int>(f.colour[c] + shade + stripes +
                                     uniform(-f.texture / 2, f.texture / 2) + uniform(-4, 4)),
                    0, 255);
            const double truth =
                std::clamp(f.d0 + f.gx * (x - f.sx) + f.gy * (y - f.sy), 8.0, 250.0);
            const double sd = f.texture < 10 ? 1.6 : 0.8;
            s.disp[p] = std::clamp(static_cast<int>(std::lround(truth + sd * gauss(gen))), 1, 255);
        }

    // Blobs of wrong matches, wider than high as a matcher's streaks are,
    // about 15 % of the pixels in all, most of them on the flat cells.
    const long long blobs = static_cast<long long>(n) * 15 / 100 / 25;  // 25: mean blob area
    for (long long k = 0; k < blobs; ++k) {
        const int bx = uniform(0, width - 1), by = uniform(0, height - 1);
        const bool flat = surfaces[owner[static_cast<std::size_t>(by) * width + bx]].texture < 10;
        if (!flat && !chance(0.35)) {
            --k;  // try another place: blobs settle mostly where the texture is flat
            continue;
        }
        const int rx = uniform(1, 7), ry = uniform(1, 3);
        const int wrong = uniform(1, 255);
        for (int y = std::max(0, by - ry); y <= std::min(height - 1, by + ry); ++y)
            for (int x = std::max(0, bx - rx); x <= std::min(width - 1, bx + rx); ++x) {
                const double u = double(x - bx) / rx, v = double(y - by) / ry;
                if (u * u + v * v <= 1.0)
                    s.disp[static_cast<std::size_t>(y) * width + x] =
                        std::clamp(wrong + uniform(-2, 2), 1, 255);
            }
    }
    // Single wrong values and scattered failures.
    for (int &d : s.disp) {
        if (chance(0.02)) d = uniform(1, 255);
        if (chance(0.015)) d = 0;
    }
    // No match at all: the left band and the right edge.
    const int band = width * 64 / 450;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (x < band || x >= width - 2) s.disp[static_cast<std::size_t>(y) * width + x] = 0;
}

}  // namespace

scene make_scene(scene_kind kind, int width, int height, unsigned seed) {
    scene s;
    s.width = width;
    s.height = height;
    const std::size_t n = static_cast<std::size_t>(width) * height;
    s.image.resize(3 * n);
    s.disp.resize(n);
    std::mt19937 gen(seed);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); };

    if (kind == scene_kind::real_like) {
        make_real_like(s, gen);
        return s;
    }
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
