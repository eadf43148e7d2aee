// The interface's image files: the tool's readers and gray writer for a
// path's extension, over the codec cores with the libraries' messages kept.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "api/api_internal.h"
#include "common/codec_failure.h"
#include "common/gray_to_rgb.h"
#include "common/image_sink.h"
#include "dispsmooth/driver.h"
#include "jpeg/jpeg_internal.h"
#include "png/png_internal.h"
#include "tiff/tiff_internal.h"

namespace dispsmooth {

namespace {

enum class image_format { tiff, png, jpeg };

// The format for path's extension, as the tool chooses it; throws
// dispsmooth::error with the tool's two lines for any other.
image_format format_for_path(const std::string &path) {
    const image_codec *codec = codec_for_filename(path.c_str());
    if (codec == nullptr)
        throw error("Filename extension for " + path +
                    " not recognized!\nSupported: tiff, TIFF, tif, TIF, png, PNG, jpeg, JPEG, "
                    "jpg, JPG");
    const std::string name = codec->name;
    if (name == "TIFF") return image_format::tiff;
    if (name == "PNG") return image_format::png;
    return image_format::jpeg;
}

// R = G = B from the gray values, for the PNG writer's row filling.
void fill_gray_row(unsigned char *row, int y, int width, const void *pixels) {
    const int *gray = static_cast<const int *>(pixels);
    for (int x = 0; x < width; ++x) {
        const auto v = static_cast<unsigned char>(gray[y * width + x]);
        unsigned char *const px = row + 3 * static_cast<std::ptrdiff_t>(x);
        px[0] = v;
        px[1] = v;
        px[2] = v;
    }
}

// A vector of 8-bit or int samples as a reader's sink.  Its allocation
// failure is the reader's failure (and a std::bad_alloc for the caller),
// never an exception through the codec's C frames.
template <class T>
struct sample_vector {
    std::vector<T> *samples;
    int channels;
    int width;
    int height;
};

template <class T>
bool begin_samples(void *target, int width, int height, const char *filename,
                   codec_failure *failure) {
    auto *vector = static_cast<sample_vector<T> *>(target);
    vector->width = width;
    vector->height = height;
    try {
        vector->samples->assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                                    static_cast<std::size_t>(vector->channels),
                                T{});
    } catch (const std::bad_alloc &) {
        set_codec_failure(failure, codec_failure_kind::out_of_memory,
                          "dispsmooth: out of memory reading \"%s\" (%d x %d pixels)", filename,
                          width, height);
        return false;
    }
    return true;
}

template <class T>
void store_samples(void *target, int y, const unsigned char *row, int channels, int first_x,
                   int step_x) {
    auto *vector = static_cast<sample_vector<T> *>(target);
    const int kept = vector->channels;
    T *const out = vector->samples->data() + static_cast<std::ptrdiff_t>(y) * vector->width * kept;
    for (int x = first_x; x < vector->width; x += step_x)
        for (int c = 0; c < kept; ++c)
            out[static_cast<std::ptrdiff_t>(x) * kept + c] =
                static_cast<T>(row[static_cast<std::ptrdiff_t>(x) * channels + c]);
}

}  // namespace

namespace api {

// The reader of the format, decoding straight into *samples (channels 3:
// R, G, B; channels 1: the red sample); its failure is thrown.
template <class T>
void read_samples(const std::string &path, int channels, std::vector<T> *samples, int *pw,
                  int *ph) {
    const image_format format = format_for_path(path);
    sample_vector<T> target{samples, channels, 0, 0};
    const image_sink sink{static_cast<std::size_t>(channels) * sizeof(T), begin_samples<T>,
                          store_samples<T>, &target};
    codec_failure failure;
    failure.capture_library_messages = true;
    image_reader read = tiff_detail::try_read_tiff;
    if (format == image_format::png) read = png_detail::try_read_png;
    if (format == image_format::jpeg) read = jpeg_detail::try_read_jpeg;
    if (!read(path.c_str(), &sink, &failure)) {
        *samples = std::vector<T>();
        throw_codec_failure(failure);
    }
    *pw = target.width;
    *ph = target.height;
}

byte_image read_byte_image(const std::string &path, int channels) {
    byte_image image;
    image.channels = channels;
    read_samples(path, channels, &image.samples, &image.width, &image.height);
    return image;
}

}  // namespace api

rgb_image read_rgb_image(const std::string &path) {
    rgb_image image;
    api::read_samples(path, 3, &image.samples, &image.width, &image.height);
    return image;
}

// The red sample of each pixel, decoded straight into the gray image.
gray_image read_gray_image(const std::string &path) {
    gray_image image;
    api::read_samples(path, 1, &image.pixels, &image.width, &image.height);
    return image;
}

void write_image(const std::string &path, const gray_image &image) {
    const image_format format = format_for_path(path);
    api::check_image_size(image.width, image.height);
    const std::size_t n =
        static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
    if (image.pixels.size() != n)
        throw error("dispsmooth: gray image of " + std::to_string(image.width) + "x" +
                    std::to_string(image.height) + " pixels holds " +
                    std::to_string(image.pixels.size()) + " values; it must hold " +
                    std::to_string(n));

    codec_failure failure;
    failure.capture_library_messages = true;
    bool written = false;
    switch (format) {
    case image_format::tiff:
        written = tiff_detail::try_pack_and_write_tiff(path.c_str(), image.width, image.height,
                                                       image.pixels.data(), 1, nullptr, &failure);
        break;
    case image_format::png:
        written = png_detail::try_write_png_rows(path.c_str(), image.width, image.height, 2, 8, 3,
                                                 fill_gray_row, image.pixels.data(), &failure);
        break;
    case image_format::jpeg: {
        // The tool's gray JPEG writer goes through its RGB writer with
        // R = G = B.
        std::vector<int> rgb(3 * n);
        fill_rgb_from_gray(n, image.pixels.data(), rgb.data());
        written = jpeg_detail::try_write_jpeg_rgb(path.c_str(), image.width, image.height,
                                                  rgb.data(), &failure);
        break;
    }
    }
    if (!written) api::throw_codec_failure(failure);
}

}  // namespace dispsmooth
