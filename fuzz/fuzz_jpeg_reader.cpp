// Fuzz target: the JPEG readers (gray, which goes through the colour
// reader).  A refused file ends with a message and abort().
#include "dispsmooth/jpeg_codec.h"
#include "fuzz/harness.h"

namespace {

void read_all(const char *path) {
    int w = 0, h = 0;
    int *gray = nullptr;
    read_jpeg_into_image_arr(path, &w, &h, &gray);
    fuzz_harness::check_and_free(gray, 1LL * w * h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz_harness::run_reader_in_child(data, size, "jpg", read_all,
                                      fuzz_harness::refusal::abort_after_message);
    return 0;
}
