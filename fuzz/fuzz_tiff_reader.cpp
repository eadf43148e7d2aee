// Fuzz target: the TIFF readers (colour, gray, and both with alpha) on one
// file.  A refused file ends with a message and exit status 1.
#include "dispsmooth/tiff_codec.h"
#include "fuzz/harness.h"

namespace {

void read_all(const char *path) {
    int w = 0, h = 0;
    int *rgb = nullptr;
    read_tiff_into_rgb_image_arr(path, &w, &h, &rgb);
    fuzz_harness::check_and_free(rgb, 3LL * w * h);

    int *gray = nullptr, *alpha = nullptr;
    read_tiff_into_image_alpha_arr(path, &w, &h, &gray, &alpha);
    fuzz_harness::check_and_free(gray, 1LL * w * h);
    fuzz_harness::check_and_free(alpha, 1LL * w * h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz_harness::run_reader_in_child(data, size, "tif", read_all,
                                      fuzz_harness::refusal::exit_status_1);
    return 0;
}
