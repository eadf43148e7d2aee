#include "dispsmooth/driver.h"
#include "dispsmooth/smoothing.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

const char *const parameter_file_name = "kelv_input.txt";

// The disparity range handed to the smoothing; 8-bit maps cover all of it.
const int min_d1 = 0;
const int max_d1 = 255;

struct array_releaser {
    void operator()(int *arr) const { std::free(arr); }
};
// An image array from a reader, released with free() on every way out.
using image_array = std::unique_ptr<int, array_releaser>;

// The codec for name, or nullptr after the two messages for a name whose
// extension is not in the table (or that has no extension at all).
const image_codec *select_codec(const std::string &name) {
    const image_codec *codec = codec_for_filename(name.c_str());
    if (codec == nullptr) {
        std::printf("Filename extension for %s not recognized!\n", name.c_str());
        std::printf("Supported: tiff, TIFF, tif, TIF, png, PNG, jpeg, JPEG, jpg, JPG\n");
    }
    // Codecs may end the process on a bad file; nothing printed so far may be
    // left behind in the buffer.
    (void)std::fflush(stdout);
    return codec;
}

}  // namespace

int run_dispsmooth() {
    run_parameters params;
    if (!read_parameter_file(parameter_file_name, &params)) return 1;

    const image_codec *ref_codec = select_codec(params.filename_image);
    if (ref_codec == nullptr) return 1;
    int width = 0;
    int height = 0;
    int *raw = nullptr;
    ref_codec->read_rgb(params.filename_image.c_str(), &width, &height, &raw);
    const image_array image_arr(raw);

    const image_codec *disp_codec = select_codec(params.filename_disp);
    if (disp_codec == nullptr) return 1;
    int disp_width = 0;
    int disp_height = 0;
    raw = nullptr;
    disp_codec->read_gray(params.filename_disp.c_str(), &disp_width, &disp_height, &raw);
    const image_array disp_arr(raw);

    // The smoothing indexes both arrays with one width and height.
    if (disp_width != width || disp_height != height) {
        (void)std::fflush(stdout);
        (void)std::fprintf(
            stderr,
            "dispsmooth: reference image \"%s\" is %dx%d but disparity map \"%s\" is "
            "%dx%d; they must have the same size\n",
            params.filename_image.c_str(), width, height, params.filename_disp.c_str(), disp_width,
            disp_height);
        return 1;
    }

    std::printf("Smoothing the disparities ...\n");
    (void)std::fflush(stdout);
    smooth_disparity_weighted_median(width, height, image_arr.get(), disp_arr.get(), min_d1, max_d1,
                                     params.radius, params.sigma_space, params.sigma_color);
    std::printf("Smoothing the disparities ... done.\n");
    (void)std::fflush(stdout);

    // Examined only now, after all the work, so a bad output name still
    // shows both smoothing messages.
    const image_codec *output_codec = select_codec(params.filename_disp_smooth);
    if (output_codec == nullptr) return 1;
    output_codec->write_gray(params.filename_disp_smooth.c_str(), width, height, disp_arr.get());
    return 0;
}
