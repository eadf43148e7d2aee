#include "dispsmooth/driver.h"
#include "dispsmooth/jpeg_codec.h"
#include "dispsmooth/png_codec.h"
#include "dispsmooth/tiff_codec.h"

#include <cstring>

namespace {

const image_codec tiff_codec = {"TIFF", read_tiff_into_rgb_image_arr, read_tiff_into_image_arr,
                                write_image_arr_into_tiff};
const image_codec png_codec = {"PNG", read_png_into_rgb_image_arr, read_png_into_image_arr,
                               write_image_arr_into_png};
const image_codec jpeg_codec = {"JPEG", read_jpeg_into_rgb_image_arr, read_jpeg_into_image_arr,
                                write_image_arr_into_jpeg};

struct extension_entry {
    const char *extension;
    const image_codec *codec;
};

// Compared exactly and in this order; mixed-case forms are not recognised.
const extension_entry extension_table[] = {
    {"tiff", &tiff_codec}, {"TIFF", &tiff_codec}, {"tif", &tiff_codec},  {"TIF", &tiff_codec},
    {"png", &png_codec},   {"PNG", &png_codec},   {"jpeg", &jpeg_codec}, {"JPEG", &jpeg_codec},
    {"jpg", &jpeg_codec},  {"JPG", &jpeg_codec},
};

}  // namespace

const image_codec *codec_for_filename(const char *filename) {
    const char *dot = std::strrchr(filename, '.');
    if (dot == nullptr) return nullptr;
    for (const extension_entry &entry : extension_table) {
        if (std::strcmp(dot + 1, entry.extension) == 0) return entry.codec;
    }
    return nullptr;
}
