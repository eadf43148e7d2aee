// Uses the installed library: smooths a small map in memory, writes it as
// PNG, reads it back and checks the speckle is gone; then has a wrong sigma
// refused by the error-reporting interface.
#include <dispsmooth/png_codec.h>
#include <dispsmooth/smoothing.h>
#include <dispsmooth/version.h>
#include <dispsmooth/dispsmooth.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main() {
    const int width = 16;
    const int height = 12;
    std::vector<int> rgb(width * height * 3, 100);
    std::vector<int> disp(width * height, 40);
    disp[5 * width + 7] = 200;  // a lone wrong disparity

    smooth_disparity_weighted_median(width, height, rgb.data(), disp.data(), 0, 255, 2, 3.0, 10.0);

    const char *name = "consumer-output.png";
    write_image_arr_into_png(name, width, height, disp.data());
    int w = 0;
    int h = 0;
    int *back = nullptr;
    read_png_into_image_arr(name, &w, &h, &back);
    std::remove(name);
    const bool ok = w == width && h == height && back[5 * width + 7] == 40;
    std::free(back);
    if (!ok) {
        std::fprintf(stderr, "consumer: unexpected result\n");
        return 1;
    }
    try {
        dispsmooth::smooth(width, height, rgb.data(), disp.data(), 0, 255, 2, 0.0, 10.0);
        std::fprintf(stderr, "consumer: a sigma of 0 was taken\n");
        return 1;
    } catch (const dispsmooth::error &e) {
        if (!std::string(e.what()).ends_with("(FATAL ERROR in median_histo)")) {
            std::fprintf(stderr, "consumer: unexpected message: %s\n", e.what());
            return 1;
        }
    }
    std::printf("consumer: dispsmooth %s ok\n", DISPSMOOTH_VERSION);
    return 0;
}
