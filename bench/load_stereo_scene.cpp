#include <cstddef>
#include <cstdlib>
#include <filesystem>

#include "bench/make_scene.h"
#include "dispsmooth/png_codec.h"

bench::scene bench::load_stereo_scene(const std::string &folder) {
    const std::filesystem::path image_file = std::filesystem::path(folder) / "left.png";
    const std::filesystem::path disp_file = std::filesystem::path(folder) / "disp_noisy.png";
    // The readers end the process on a missing file: look first.
    if (!std::filesystem::is_regular_file(image_file) ||
        !std::filesystem::is_regular_file(disp_file))
        return {};

    int width = 0, height = 0, disp_width = 0, disp_height = 0;
    int *image = nullptr, *disp = nullptr;
    read_png_into_rgb_image_arr(image_file.c_str(), &width, &height, &image);
    read_png_into_image_arr(disp_file.c_str(), &disp_width, &disp_height, &disp);
    scene s;
    if (width == disp_width && height == disp_height && width > 0 && height > 0) {
        const std::size_t n = static_cast<std::size_t>(width) * height;
        s.width = width;
        s.height = height;
        s.image.assign(image, image + 3 * n);
        s.disp.assign(disp, disp + n);
    }
    std::free(image);
    std::free(disp);
    return s;
}
