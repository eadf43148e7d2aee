// The PNG codec's core: libpng's message handlers, the row-by-row decode
// into 8-bit RGBA and the row-by-row, atomically replaced write.
#include "png/png_handlers.h"
#include "png/png_internal.h"

#include "common/alloc.h"
#include "common/image_sink.h"
#include "common/memory_budget.h"
#include "common/output_file.h"

#include <png.h>

#include <unistd.h>
#include <cerrno>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dispsmooth::png_detail {

const char *const png_version = "1.6.17";

void keep_png_error(png_structp png, png_const_charp message) {
    keep_library_message(static_cast<codec_failure *>(png_get_error_ptr(png)), "libpng error: %s",
                         message);
    png_longjmp(png, 1);
}

void drop_png_warning(png_structp, png_const_charp) {}

// No object with a destructor may live in this function: libpng's errors
// come back through longjmp to the recovery point below, which skips them.
// What the recovery path releases is either fixed before the point is set
// (fp, png, info) or volatile (the row).
bool try_read_png(const char *filename, const image_sink *sink, codec_failure *failure) {
    std::FILE *fp = std::fopen(filename, "rb");
    if (fp == nullptr) {
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot open \"%s\" for reading: %s", filename,
                          std::strerror(errno));
        return false;
    }

    // Null handlers keep libpng's own error and warning messages on
    // standard error.
    const bool keep = failure->capture_library_messages;
    png_structp png =
        png_create_read_struct(png_version, keep ? failure : nullptr,
                               keep ? keep_png_error : nullptr, keep ? drop_png_warning : nullptr);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    png_bytep volatile row = nullptr;
    if (info == nullptr) {
        if (png != nullptr) png_destroy_read_struct(&png, nullptr, nullptr);
        (void)std::fclose(fp);
        set_codec_failure(failure, codec_failure_kind::out_of_memory,
                          "dispsmooth: cannot read PNG image \"%s\"", filename);
        return false;
    }

    // libpng reports its errors only by a jump back to here.
    // NOLINTNEXTLINE(cert-err52-cpp): nothing with a destructor lives between here and the jumps
    if (setjmp(*png_set_longjmp_fn(png, longjmp, sizeof(jmp_buf))) != 0) {
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot read PNG image \"%s\"", filename);
        // Whatever failed below: release what is held at this moment.
        std::free(row);
        png_destroy_read_struct(&png, &info, nullptr);
        (void)std::fclose(fp);
        return false;
    }

    png_init_io(png, fp);
    png_read_info(png, info);

    const png_uint_32 file_width = png_get_image_width(png, info);
    const png_uint_32 file_height = png_get_image_height(png, info);
    const png_byte color_type = png_get_color_type(png, info);
    const png_byte bit_depth = png_get_bit_depth(png, info);

    // Every array index of the tool's arrays (up to 3 * (y * width + x) + 2)
    // and the row size 4 * width are int arithmetic.  The header may claim
    // any size whatever data follows, and the caller's arrays are made before
    // any row is decoded: no image above 2^28 pixels (16384 x 16384) is
    // taken, so a damaged file of a few bytes cannot make the reader allocate
    // gigabytes.
    const unsigned long long max_pixels = 1ull << 28;
    if (!fits_int32(file_width, file_height, 3) || !fits_int32(file_width, 1, 4) ||
        static_cast<unsigned long long>(file_width) * file_height > max_pixels) {
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot read \"%s\": %lu x %lu pixels is too large", filename,
                          static_cast<unsigned long>(file_width),
                          static_cast<unsigned long>(file_height));
        png_longjmp(png, 1);
    }
    const int width = static_cast<int>(file_width);
    const int height = static_cast<int>(file_height);
    // What the sink keeps must fit in what the process may still allocate:
    // a declared size that would not is refused with the figures rather
    // than ended by the kernel half way.
    if (!try_reserve_image_memory(
            filename, static_cast<std::uint64_t>(width) * height * sink->bytes_per_pixel, width,
            height, failure))
        png_longjmp(png, 1);

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
    // An interlaced file comes as its seven passes, each over every row.
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);

    const std::size_t row_bytes = png_get_rowbytes(png, info);
    if (row_bytes != 4 * static_cast<std::size_t>(width)) {
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot read \"%s\": unexpected PNG row size %zu", filename,
                          row_bytes);
        png_longjmp(png, 1);
    }
    if (!sink->begin(sink->target, width, height, filename, failure)) png_longjmp(png, 1);
    row = static_cast<png_bytep>(try_file_calloc(row_bytes, 1, "a PNG row", filename, failure));
    if (row == nullptr) png_longjmp(png, 1);

    // One row at a time into the sink.  A pass of an interlaced file sets
    // only its own pixels of the rows it covers (every eighth, fourth or
    // second one), and only those are handed over.  Nothing after the image
    // data is read: later chunks, the end chunk included, are not checked.
    for (int pass = 0; pass < passes; ++pass) {
        const int first_x = passes == 1 ? 0 : static_cast<int>(PNG_PASS_START_COL(pass));
        const int step_x = passes == 1 ? 1 : static_cast<int>(PNG_PASS_COL_OFFSET(pass));
        for (int y = 0; y < height; ++y) {
            png_read_row(png, row, nullptr);
            if (passes == 1 || PNG_ROW_IN_INTERLACE_PASS(y, pass))
                sink->store_row(sink->target, y, row, 4, first_x, step_x);
        }
    }

    std::free(row);
    png_destroy_read_struct(&png, &info, nullptr);
    (void)std::fclose(fp);
    return true;
}

// No object with a destructor may live in this function: libpng's errors
// come back through longjmp to the recovery point below, which skips them.
// What the recovery path releases is either fixed before the point is set
// (fp, png, info, out) or volatile (the row).
bool try_write_png_rows(const char *filename, int width, int height, int color_type, int bit_depth,
                        int bytes_per_pixel, png_row_fill fill, const void *pixels,
                        codec_failure *failure) {
    // A new file beside the target where possible, renamed over it once
    // complete and closed.
    output_file out;
    begin_output_file(filename, &out);
    std::FILE *fp = out.temp_fd >= 0 ? fdopen(out.temp_fd, "wb") : std::fopen(filename, "wb");
    if (fp == nullptr) {
        const int open_errno = errno;
        if (out.temp_fd >= 0) {
            close(out.temp_fd);
            discard_output_file(&out);
        }
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot open \"%s\" for writing: %s", filename,
                          std::strerror(open_errno));
        return false;
    }

    // Null handlers keep libpng's own error and warning messages on
    // standard error.
    const bool keep = failure->capture_library_messages;
    png_structp png =
        png_create_write_struct(png_version, keep ? failure : nullptr,
                                keep ? keep_png_error : nullptr, keep ? drop_png_warning : nullptr);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    png_bytep volatile row = nullptr;
    if (info == nullptr) {
        if (png != nullptr) png_destroy_write_struct(&png, nullptr);
        (void)std::fclose(fp);
        discard_output_file(&out);
        set_codec_failure(failure, codec_failure_kind::out_of_memory,
                          "dispsmooth: cannot write PNG image \"%s\"", filename);
        return false;
    }

    // libpng reports its errors only by a jump back to here.
    // NOLINTNEXTLINE(cert-err52-cpp): nothing with a destructor lives between here and the jumps
    if (setjmp(*png_set_longjmp_fn(png, longjmp, sizeof(jmp_buf))) != 0) {
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot write PNG image \"%s\"", filename);
        std::free(row);
        png_destroy_write_struct(&png, &info);
        (void)std::fclose(fp);
        discard_output_file(&out);
        return false;
    }

    png_init_io(png, fp);
    // libpng refuses a width or height of 0 (or beyond its limits, which
    // also catches negative ints turned into huge unsigned values) here.
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height),
                 bit_depth, color_type, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);

    // Row filling indexes the caller's arrays with y * width + x and up to
    // 3 * that plus 2, all in int arithmetic.
    if (!fits_int32(width, height, 3) || !fits_int32(width, 1, bytes_per_pixel)) {
        set_codec_failure(failure, codec_failure_kind::request,
                          "dispsmooth: cannot write \"%s\": %d x %d pixels is too large", filename,
                          width, height);
        png_longjmp(png, 1);
    }
    const std::size_t row_bytes = png_get_rowbytes(png, info);
    if (row_bytes != static_cast<std::size_t>(bytes_per_pixel) * static_cast<std::size_t>(width)) {
        set_codec_failure(failure, codec_failure_kind::request,
                          "dispsmooth: cannot write \"%s\": unexpected PNG row size %zu", filename,
                          row_bytes);
        png_longjmp(png, 1);
    }

    // One row buffer, filled and written a row at a time.
    row = static_cast<png_bytep>(try_calloc(row_bytes, 1, "a PNG row", failure));
    if (row == nullptr) png_longjmp(png, 1);
    for (int y = 0; y < height; ++y) {
        fill(row, y, width, pixels);
        png_write_row(png, row);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::free(row);

    if (!close_output_file(fp, &out)) {
        set_codec_failure(failure, codec_failure_kind::file, "dispsmooth: cannot write \"%s\": %s",
                          filename, std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace dispsmooth::png_detail
