#include "dispsmooth/png_codec.h"

#include "checked_alloc.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// No object with a destructor may live in this function: libpng's errors
// come back through longjmp to the recovery point below, which skips them.
// The recovery path uses only filename, which never changes: it names the
// file after libpng's message and aborts, leaving whatever is allocated at
// that moment to the process's end.
void read_png_into_rgba_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr,
                                  int **palpha_arr) {
    std::FILE *fp = std::fopen(filename, "rb");
    if (fp == nullptr) {
        std::fprintf(stderr, "dispsmooth: cannot open \"%s\" for reading: %s\n", filename,
                     std::strerror(errno));
        std::abort();
    }

    // The version string is the one the codec was written against; libpng
    // accepts any 1.6.x for it.  Null handlers keep libpng's own error and
    // warning messages on standard error.
    png_structp png = png_create_read_struct("1.6.17", nullptr, nullptr, nullptr);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    if (info == nullptr) {
        std::fprintf(stderr, "dispsmooth: cannot read PNG image \"%s\"\n", filename);
        std::abort();
    }

    if (setjmp(*png_set_longjmp_fn(png, longjmp, sizeof(jmp_buf))) != 0) {
        std::fprintf(stderr, "dispsmooth: cannot read PNG image \"%s\"\n", filename);
        std::abort();
    }

    png_init_io(png, fp);
    png_read_info(png, info);

    const png_uint_32 file_width = png_get_image_width(png, info);
    const png_uint_32 file_height = png_get_image_height(png, info);
    const png_byte color_type = png_get_color_type(png, info);
    const png_byte bit_depth = png_get_bit_depth(png, info);

    // Every array index below (up to 3 * (y * width + x) + 2) and the row
    // size 4 * width are int arithmetic.  The header may claim any size
    // whatever data follows, and all rows are allocated before any is
    // decoded: no image above 2^28 pixels (16384 x 16384) is taken, so a
    // damaged file of a few bytes cannot make the reader allocate gigabytes.
    const unsigned long long max_pixels = 1ull << 28;
    if (!dispsmooth::fits_int32(file_width, file_height, 3) ||
        !dispsmooth::fits_int32(file_width, 1, 4) ||
        static_cast<unsigned long long>(file_width) * file_height > max_pixels) {
        std::fprintf(stderr, "dispsmooth: cannot read \"%s\": %lu x %lu pixels is too large\n",
                     filename, static_cast<unsigned long>(file_width),
                     static_cast<unsigned long>(file_height));
        std::abort();
    }
    const int width = static_cast<int>(file_width);
    const int height = static_cast<int>(file_height);

    // Whatever the colour type and bit depth, the rows come out as 8-bit
    // R, G, B, A: 16-bit samples cut to their high byte, palettes and grey
    // expanded to RGB, tRNS turned into alpha, and 255 as alpha for pixels
    // that have none.
    if (bit_depth == 16) png_set_strip_16(png);
    if (color_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (color_type == PNG_COLOR_TYPE_GRAY && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS) != 0) png_set_tRNS_to_alpha(png);
    if (color_type == PNG_COLOR_TYPE_RGB || color_type == PNG_COLOR_TYPE_GRAY ||
        color_type == PNG_COLOR_TYPE_PALETTE)
        png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    if (color_type == PNG_COLOR_TYPE_GRAY || color_type == PNG_COLOR_TYPE_GRAY_ALPHA)
        png_set_gray_to_rgb(png);
    png_read_update_info(png, info);

    const std::size_t row_bytes = png_get_rowbytes(png, info);
    if (row_bytes != 4 * static_cast<std::size_t>(width)) {
        std::fprintf(stderr, "dispsmooth: cannot read \"%s\": unexpected PNG row size %zu\n",
                     filename, row_bytes);
        std::abort();
    }
    png_bytepp row_pointers = static_cast<png_bytepp>(dispsmooth::checked_file_calloc(
        static_cast<std::size_t>(height), sizeof(png_bytep), "the PNG row pointers", filename,
        dispsmooth::on_failure::abort_process));
    for (int y = 0; y < height; ++y) {
        row_pointers[y] = static_cast<png_bytep>(dispsmooth::checked_file_calloc(
            row_bytes, 1, "a PNG row", filename, dispsmooth::on_failure::abort_process));
    }

    // The whole image at once, interlaced or not.  Nothing after the image
    // data is read: later chunks, the end chunk included, are not checked.
    png_read_image(png, row_pointers);
    std::fclose(fp);
    png_destroy_read_struct(&png, &info, nullptr);

    const std::size_t pixel_count =
        static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    int *image_arr = static_cast<int *>(
        dispsmooth::checked_file_calloc(pixel_count, 3 * sizeof(int), "the RGB image array",
                                        filename, dispsmooth::on_failure::abort_process));
    int *alpha_arr = static_cast<int *>(
        dispsmooth::checked_file_calloc(pixel_count, sizeof(int), "the alpha array", filename,
                                        dispsmooth::on_failure::abort_process));
    for (int y = 0; y < height; ++y) {
        const png_bytep row = row_pointers[y];
        for (int x = 0; x < width; ++x) {
            const png_bytep px = row + 4 * x;
            const int ind = y * width + x;
            image_arr[3 * ind] = px[0];
            image_arr[3 * ind + 1] = px[1];
            image_arr[3 * ind + 2] = px[2];
            alpha_arr[ind] = px[3];
        }
    }

    for (int y = 0; y < height; ++y) std::free(row_pointers[y]);
    std::free(row_pointers);

    *pw = width;
    *ph = height;
    *pimage_arr = image_arr;
    *palpha_arr = alpha_arr;
}
