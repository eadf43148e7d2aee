// 16-bit PNG at full depth through libpng: the first sample of each pixel,
// read a row at a time, and 16-bit grey written a row at a time into a file
// that replaces its target once complete.
#include <png.h>

#include <bit>
#include <cerrno>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/alloc.h"
#include "common/memory_budget.h"
#include "disparity_io/disparity_io_internal.h"
#include "png/png_handlers.h"
#include "png/png_internal.h"

namespace dispsmooth::disparity_detail {

using png_detail::drop_png_warning;
using png_detail::keep_png_error;
using png_detail::png_version;

namespace {

// The value of sample `index` of a row of 8- or 16-bit samples (16-bit ones
// already in the machine's byte order).
std::uint16_t sample_at(const unsigned char *row, std::size_t index, int bit_depth) {
    if (bit_depth == 8) return row[index];
    std::uint16_t v = 0;
    std::memcpy(&v, row + 2 * index, sizeof v);
    return v;
}

}  // namespace

// No object with a destructor may live in this function: libpng's errors
// come back through longjmp to the recovery point, which skips them.  What
// the recovery path releases is volatile or fixed before the point is set.
bool try_read_png16(const char *filename, samples16 *out, codec_failure *failure) {
    out->pixels = nullptr;
    std::FILE *fp = std::fopen(filename, "rb");
    if (fp == nullptr) {
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot open \"%s\" for reading: %s", filename,
                          std::strerror(errno));
        return false;
    }
    const long long file_size = stream_size(fp);
    png_structp png =
        png_create_read_struct(png_version, failure, keep_png_error, drop_png_warning);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    if (info == nullptr) {
        if (png != nullptr) png_destroy_read_struct(&png, nullptr, nullptr);
        (void)std::fclose(fp);
        set_codec_failure(failure, codec_failure_kind::out_of_memory,
                          "dispsmooth: cannot read PNG image \"%s\"", filename);
        return false;
    }
    unsigned char *volatile rows = nullptr;
    std::uint16_t *volatile pixels = nullptr;

    // NOLINTNEXTLINE(cert-err52-cpp): nothing with a destructor lives between here and the jumps
    if (setjmp(*png_set_longjmp_fn(png, longjmp, sizeof(jmp_buf))) != 0) {
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot read PNG image \"%s\"", filename);
        std::free(rows);
        std::free(pixels);
        png_destroy_read_struct(&png, &info, nullptr);
        (void)std::fclose(fp);
        return false;
    }

    png_init_io(png, fp);
    png_read_info(png, info);
    const png_uint_32 file_width = png_get_image_width(png, info);
    const png_uint_32 file_height = png_get_image_height(png, info);
    const int color_type = png_get_color_type(png, info);
    const int file_depth = png_get_bit_depth(png, info);
    const bool interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
    if (static_cast<unsigned long long>(file_width) * file_height > (1ULL << 28)) {
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot read \"%s\": %lu x %lu pixels is too large", filename,
                          static_cast<unsigned long>(file_width),
                          static_cast<unsigned long>(file_height));
        png_longjmp(png, 1);
    }
    const int width = static_cast<int>(file_width);
    const int height = static_cast<int>(file_height);
    // The compressed data cannot hold more than the bound per byte of the
    // file: a header of a few bytes declaring a large image is refused here.
    const std::uint64_t file_row_bytes = png_get_rowbytes(png, info);
    if (!declared_size_fits(filename, "PNG", width, height,
                            (file_row_bytes + 1) * static_cast<std::uint64_t>(height), file_size,
                            deflate_expansion_bound, failure))
        png_longjmp(png, 1);

    // One byte per sample below 8 bits (unscaled), palettes as their RGB
    // colours, 16-bit samples in the machine's byte order; transparency is
    // not turned into alpha.
    if (color_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (file_depth < 8) png_set_packing(png);
    if (file_depth == 16 && std::endian::native == std::endian::little) png_set_swap(png);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const int depth = png_get_bit_depth(png, info);
    const std::size_t channels = png_get_channels(png, info);
    const std::size_t row_bytes = png_get_rowbytes(png, info);
    if ((depth != 8 && depth != 16) || row_bytes != channels * static_cast<std::size_t>(depth / 8) *
                                                        static_cast<std::size_t>(width)) {
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot read \"%s\": unexpected PNG row size %zu", filename,
                          row_bytes);
        png_longjmp(png, 1);
    }
    // An interlaced file's passes fill the whole image; otherwise one row
    // at a time is enough.
    const std::size_t buffered_rows = interlaced ? static_cast<std::size_t>(height) : 1;
    const std::uint64_t pixel_count = static_cast<std::uint64_t>(width) * height;
    if (!try_reserve_image_memory(filename, pixel_count * 2 + buffered_rows * row_bytes, width,
                                  height, failure))
        png_longjmp(png, 1);
    pixels = static_cast<std::uint16_t *>(
        try_file_calloc(pixel_count, sizeof(std::uint16_t), "the image array", filename, failure));
    if (pixels == nullptr) png_longjmp(png, 1);
    rows = static_cast<unsigned char *>(
        try_file_calloc(buffered_rows, row_bytes, "the PNG rows", filename, failure));
    if (rows == nullptr) png_longjmp(png, 1);

    if (interlaced) {
        for (int pass = 0; pass < passes; ++pass)
            for (int y = 0; y < height; ++y)
                png_read_row(png, rows + row_bytes * static_cast<std::size_t>(y), nullptr);
    }
    for (int y = 0; y < height; ++y) {
        unsigned char *row = rows;
        if (interlaced)
            row += row_bytes * static_cast<std::size_t>(y);
        else
            png_read_row(png, row, nullptr);
        std::uint16_t *target = pixels + static_cast<std::size_t>(y) * width;
        for (int x = 0; x < width; ++x)
            target[x] = sample_at(row, channels * static_cast<std::size_t>(x), depth);
    }

    std::free(rows);
    png_destroy_read_struct(&png, &info, nullptr);
    (void)std::fclose(fp);
    out->width = width;
    out->height = height;
    out->bit_depth = color_type == PNG_COLOR_TYPE_PALETTE ? 8 : file_depth;
    out->pixels = pixels;
    return true;
}

namespace {

// Row y of a 16-bit grey image, high byte first as PNG stores it.
void fill_gray16_row(unsigned char *row, int y, int width, const void *pixels) {
    const auto *values =
        static_cast<const std::uint16_t *>(pixels) + static_cast<std::ptrdiff_t>(y) * width;
    for (int x = 0; x < width; ++x) {
        unsigned char *const sample = row + 2 * static_cast<std::ptrdiff_t>(x);
        sample[0] = static_cast<unsigned char>(values[x] >> 8);
        sample[1] = static_cast<unsigned char>(values[x] & 0xFF);
    }
}

}  // namespace

bool try_write_png16(const char *filename, int width, int height, const std::uint16_t *pixels,
                     codec_failure *failure) {
    return png_detail::try_write_png_rows(filename, width, height, PNG_COLOR_TYPE_GRAY, 16, 2,
                                          fill_gray16_row, pixels, failure);
}

}  // namespace dispsmooth::disparity_detail
