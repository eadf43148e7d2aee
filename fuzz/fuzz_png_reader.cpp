// Fuzz target: the PNG readers (gray, which goes through the colour and
// colour-with-alpha readers).  A refused file ends with a message and
// abort().
#include "dispsmooth/png_codec.h"
#include "fuzz/harness.h"

namespace {

void read_all(const char *path) {
    int w = 0, h = 0;
    int *rgb = nullptr, *alpha = nullptr;
    read_png_into_rgba_image_arr(path, &w, &h, &rgb, &alpha);
    fuzz_harness::check_and_free(rgb, 3LL * w * h);
    fuzz_harness::check_and_free(alpha, 1LL * w * h);

    int *gray = nullptr;
    read_png_into_image_arr(path, &w, &h, &gray);
    fuzz_harness::check_and_free(gray, 1LL * w * h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz_harness::run_reader_in_child(data, size, "png", read_all,
                                      fuzz_harness::refusal::abort_after_message);
    return 0;
}
