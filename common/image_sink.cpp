// The tool's int arrays as an image sink.
#include "common/image_sink.h"

#include "common/alloc.h"
#include "common/codec_failure.h"

#include <cstdlib>

namespace dispsmooth {

namespace {

bool begin_int_arrays(void *target, int width, int height, const char *filename,
                      codec_failure *failure) {
    auto *arrays = static_cast<int_arrays *>(target);
    arrays->width = width;
    arrays->height = height;
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (arrays->want_rgb) {
        arrays->rgb = static_cast<int *>(
            try_file_calloc(pixels, 3 * sizeof(int), "the RGB image array", filename, failure));
        if (arrays->rgb == nullptr) return false;
    }
    if (arrays->gray_what != nullptr) {
        arrays->gray = static_cast<int *>(
            try_file_calloc(pixels, sizeof(int), arrays->gray_what, filename, failure));
        if (arrays->gray == nullptr) return false;
    }
    if (arrays->want_alpha) {
        arrays->alpha = static_cast<int *>(
            try_file_calloc(pixels, sizeof(int), "the alpha array", filename, failure));
        if (arrays->alpha == nullptr) return false;
    }
    return true;
}

void store_int_row(void *target, int y, const unsigned char *row, int channels, int first_x,
                   int step_x) {
    auto *arrays = static_cast<int_arrays *>(target);
    const int width = arrays->width;
    const std::ptrdiff_t first = static_cast<std::ptrdiff_t>(y) * width;
    if (int *const rgb = arrays->rgb; rgb != nullptr) {
        int *const out = rgb + 3 * first;
        for (int x = first_x; x < width; x += step_x) {
            const unsigned char *const px = row + static_cast<std::ptrdiff_t>(channels) * x;
            int *const sample = out + 3 * static_cast<std::ptrdiff_t>(x);
            sample[0] = px[0];
            sample[1] = px[1];
            sample[2] = px[2];
        }
    }
    if (int *const gray = arrays->gray; gray != nullptr) {
        for (int x = first_x; x < width; x += step_x)
            gray[first + x] = row[static_cast<std::ptrdiff_t>(channels) * x];
    }
    if (int *const alpha = arrays->alpha; alpha != nullptr) {
        // A row without alpha stands for an opaque one.
        for (int x = first_x; x < width; x += step_x)
            alpha[first + x] = channels == 4 ? row[4 * static_cast<std::ptrdiff_t>(x) + 3] : 255;
    }
}

}  // namespace

image_sink int_arrays_sink(int_arrays *arrays) {
    const std::size_t bytes = (arrays->want_rgb ? 3 * sizeof(int) : 0) +
                              (arrays->want_alpha ? sizeof(int) : 0) +
                              (arrays->gray_what != nullptr ? sizeof(int) : 0);
    return image_sink{bytes, begin_int_arrays, store_int_row, arrays};
}

void release_int_arrays(int_arrays *arrays) {
    std::free(arrays->rgb);
    std::free(arrays->alpha);
    std::free(arrays->gray);
    arrays->rgb = nullptr;
    arrays->alpha = nullptr;
    arrays->gray = nullptr;
}

void read_int_arrays_or_end(image_reader read, const char *filename, int_arrays *arrays,
                            bool abort_process) {
    const image_sink sink = int_arrays_sink(arrays);
    codec_failure failure;
    if (!read(filename, &sink, &failure)) {
        release_int_arrays(arrays);
        end_process_after(failure, abort_process);
    }
}

}  // namespace dispsmooth
