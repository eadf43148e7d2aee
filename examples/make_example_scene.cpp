// Draws the bundled example scene: a colour reference image, the disparity
// map a fast block matcher might produce for it, the noise-free map for
// comparison, and a parameter file that runs dispsmooth on them.
//
//     make_example_scene [directory]      (default: the current directory)
//
// Everything is drawn from a fixed-seed std::mt19937, whose raw output the
// C++ standard fixes, through distributions written here and integer or
// exactly rounded double arithmetic only, so the files come out byte for byte
// the same on every platform and library version.
#include "dispsmooth/png_codec.h"

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

const int width = 320;
const int height = 240;

const char *const extension = ".png";

void write_rgb(const std::string &path, const std::vector<int> &rgb) {
    write_rgb_image_arr_into_png(path.c_str(), width, height, rgb.data());
}
void write_gray(const std::string &path, const std::vector<int> &gray) {
    write_image_arr_into_png(path.c_str(), width, height, gray.data());
}

class random_source {
public:
    explicit random_source(std::uint32_t seed) : engine_(seed) {}
    // Uniform in 0..n-1 (n >= 1), by rejection, without modulo bias.
    int below(int n) {
        const std::uint32_t range = static_cast<std::uint32_t>(n);
        const std::uint32_t limit = 0xFFFFFFFFu - 0xFFFFFFFFu % range;
        std::uint32_t v;
        do {
            v = static_cast<std::uint32_t>(engine_());
        } while (v >= limit);
        return static_cast<int>(v % range);
    }
    int between(int lo, int hi) { return lo + below(hi - lo + 1); }
    // Roughly bell-shaped in -spread..spread: the mean of four uniforms.
    int bell(int spread) {
        int sum = 0;
        for (int k = 0; k < 4; ++k) sum += between(-spread, spread);
        return sum / 4;
    }

private:
    std::mt19937 engine_;
};

int clamp255(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

// Smooth value noise: random values on a grid of cell x cell pixels,
// interpolated bilinearly, in -amplitude..amplitude.
std::vector<int> value_noise(random_source &rng, int cell, int amplitude) {
    const int gw = width / cell + 2;
    const int gh = height / cell + 2;
    std::vector<int> grid(gw * gh);
    for (int &g : grid) g = rng.between(-amplitude, amplitude);
    std::vector<int> noise(width * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int gx = x / cell, gy = y / cell, fx = x % cell, fy = y % cell;
            const int a = grid[gy * gw + gx], b = grid[gy * gw + gx + 1];
            const int c = grid[(gy + 1) * gw + gx], d = grid[(gy + 1) * gw + gx + 1];
            const int top = a * (cell - fx) + b * fx;
            const int bottom = c * (cell - fx) + d * fx;
            noise[y * width + x] = (top * (cell - fy) + bottom * fy) / (cell * cell);
        }
    }
    return noise;
}

struct object {
    int r, g, b;    // base colour
    int disparity;  // constant over the object
    int stripes;    // period of a stripe texture, 0 for none
};

// The shapes, painted back to front.
bool inside(int shape, int x, int y) {
    switch (shape) {
    case 0:  // a box on the left
        return x >= 30 && x < 140 && y >= 50 && y < 170;
    case 1: {  // a disc right of centre
        const int dx = x - 215, dy = y - 105;
        return dx * dx + dy * dy < 62 * 62;
    }
    case 2: {  // a triangle in front, lower middle, standing on its base
        if (y < 120 || y >= 225) return false;
        const int half = (y - 120) * 60 / 105;
        return x >= 130 - half && x <= 130 + half;
    }
    case 3:  // a small square closest to the camera, in front of the disc
        return x >= 235 && x < 275 && y >= 140 && y < 180;
    }
    return false;
}

const object objects[4] = {
    {60, 110, 200, 70, 0},   // blue box
    {215, 70, 50, 110, 9},   // red disc with stripes
    {70, 175, 60, 150, 0},   // green triangle
    {235, 215, 60, 190, 0},  // yellow square
};

}  // namespace

int main(int argc, char **argv) {
    const std::string dir = argc > 1 ? std::string(argv[1]) + "/" : std::string();
    random_source rng(20240611u);

    // Background: a far wall of warm grey with blotches and fine grain.
    const std::vector<int> blotch = value_noise(rng, 32, 40);
    const std::vector<int> grain = value_noise(rng, 4, 14);
    std::vector<int> rgb(width * height * 3);
    std::vector<int> truth(width * height, 20);
    for (int p = 0; p < width * height; ++p) {
        const int v = blotch[p] + grain[p];
        rgb[3 * p + 0] = clamp255(150 + v + p / width / 8);
        rgb[3 * p + 1] = clamp255(140 + v);
        rgb[3 * p + 2] = clamp255(125 + v / 2);
    }

    // The objects: flat colours with a little texture, and sharp depth edges.
    for (int shape = 0; shape < 4; ++shape) {
        const object &o = objects[shape];
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                if (!inside(shape, x, y)) continue;
                const int p = y * width + x;
                const int shade = (o.stripes > 0 && (x + y) / o.stripes % 2 == 0) ? -30 : 0;
                const int t = grain[p] / 2 + shade;
                rgb[3 * p + 0] = clamp255(o.r + t);
                rgb[3 * p + 1] = clamp255(o.g + t);
                rgb[3 * p + 2] = clamp255(o.b + t);
                truth[p] = o.disparity;
            }
        }
    }
    // Sensor noise on every pixel.
    for (int &v : rgb) v = clamp255(v + rng.bell(6));

    // What the matcher makes of it.  Edge fattening: near a depth edge the
    // matching window is dominated by the nearer surface, which spreads a few
    // pixels (a ragged number per row) into the background.
    std::vector<int> disp = truth;
    for (int y = 0; y < height; ++y) {
        const int reach = rng.between(1, 4);
        for (int x = 0; x < width; ++x) {
            int best = truth[y * width + x];
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -reach; dx <= reach; ++dx) {
                    const int yy = y + dy, xx = x + dx;
                    if (yy < 0 || yy >= height || xx < 0 || xx >= width) continue;
                    if (truth[yy * width + xx] > best) best = truth[yy * width + xx];
                }
            }
            disp[y * width + x] = best;
        }
    }
    // Speckles: small connected blobs of one wrong disparity, grown by a
    // random walk.
    for (int blob = 0; blob < 220; ++blob) {
        int x = rng.below(width), y = rng.below(height);
        const int wrong = rng.below(256);
        const int size = rng.between(4, 22);
        for (int k = 0; k < size; ++k) {
            disp[y * width + x] = wrong;
            const int step = rng.below(4);
            x += step == 0 ? 1 : (step == 1 ? -1 : 0);
            y += step == 2 ? 1 : (step == 3 ? -1 : 0);
            x = x < 0 ? 0 : (x >= width ? width - 1 : x);
            y = y < 0 ? 0 : (y >= height ? height - 1 : y);
        }
    }
    // Isolated outliers: about 4 % of the pixels take any value at all.
    for (int p = 0; p < width * height; ++p) {
        if (rng.below(100) < 4) disp[p] = rng.below(256);
    }

    const std::string reference = std::string("reference") + extension;
    const std::string disparity = std::string("disparity") + extension;
    const std::string smoothed = std::string("smoothed") + extension;
    write_rgb(dir + reference, rgb);
    write_gray(dir + disparity, disp);
    write_gray(dir + "ground_truth" + extension, truth);

    const std::string params_path = dir + "kelv_input.txt";
    std::FILE *params = std::fopen(params_path.c_str(), "w");
    if (params == nullptr) {
        std::fprintf(stderr, "make_example_scene: cannot create \"%s\"\n", params_path.c_str());
        return 1;
    }
    std::fprintf(params, "%s\n%s\n9\n9\n20\n%s\n", reference.c_str(), disparity.c_str(),
                 smoothed.c_str());
    std::fclose(params);
    std::printf("wrote %s, %s, ground_truth%s and kelv_input.txt\n", reference.c_str(),
                disparity.c_str(), extension);
    return 0;
}
