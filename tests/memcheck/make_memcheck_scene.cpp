// Writes a small scene for the memory-checked runs: a 64 x 48 reference
// image and its disparity map, each as TIFF, PNG and JPEG, in the directory
// given as the only argument.
#include "dispsmooth/jpeg_codec.h"
#include "dispsmooth/png_codec.h"
#include "dispsmooth/tiff_codec.h"

#include <string>
#include <vector>

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    const std::string dir = std::string(argv[1]) + "/";
    const int w = 64, h = 48;
    std::vector<int> rgb(w * h * 3), disp(w * h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int p = y * w + x;
            const bool object = x > w / 3 && x < 2 * w / 3 && y > h / 4;
            rgb[3 * p] = object ? 200 : 40 + (x * 7) % 30;
            rgb[3 * p + 1] = object ? 60 : 90;
            rgb[3 * p + 2] = object ? 50 + (y * 5) % 20 : 160;
            disp[p] = (p % 13 == 0) ? (p * 37) % 256 : (object ? 120 : 30);
        }
    }
    write_rgb_image_arr_into_tiff((dir + "ref.tif").c_str(), w, h, rgb.data());
    write_rgb_image_arr_into_png((dir + "ref.png").c_str(), w, h, rgb.data());
    write_rgb_image_arr_into_jpeg((dir + "ref.jpg").c_str(), w, h, rgb.data());
    write_image_arr_into_tiff((dir + "disp.tif").c_str(), w, h, disp.data());
    write_image_arr_into_png((dir + "disp.png").c_str(), w, h, disp.data());
    write_image_arr_into_jpeg((dir + "disp.jpg").c_str(), w, h, disp.data());
    return 0;
}
