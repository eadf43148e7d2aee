#include "png/png_internal.h"

#include "common/alloc.h"
#include "common/output_file.h"

#include <png.h>

#include <unistd.h>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace dispsmooth::png_detail {

namespace {

// The handlers of a call that keeps libpng's messages (see read_png_rgba).
void keep_png_error(png_structp png, png_const_charp message) {
    keep_library_message(static_cast<codec_failure *>(png_get_error_ptr(png)), "libpng error: %s",
                         message);
    png_longjmp(png, 1);
}

void drop_png_warning(png_structp, png_const_charp) {}

}  // namespace

// No object with a destructor may live in this function: libpng's errors
// come back through longjmp to the recovery point below, which skips them.
// What the recovery path releases is either fixed before the point is set
// (fp, png, info, out) or volatile (the rows).
bool write_png_rows(const char *filename, int width, int height, int color_type,
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

    // The version string is the one the codec was written against; libpng
    // accepts any 1.6.x for it.  Null handlers keep libpng's own error and
    // warning messages on standard error.
    const bool keep = failure->capture_library_messages;
    png_structp png =
        png_create_write_struct("1.6.17", keep ? failure : nullptr, keep ? keep_png_error : nullptr,
                                keep ? drop_png_warning : nullptr);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    png_bytepp volatile row_pointers = nullptr;
    volatile int rows = 0;
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
        free_png_rows(row_pointers, rows);
        png_destroy_write_struct(&png, &info);
        (void)std::fclose(fp);
        discard_output_file(&out);
        return false;
    }

    png_init_io(png, fp);
    // libpng refuses a width or height of 0 (or beyond its limits, which
    // also catches negative ints turned into huge unsigned values) here.
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 color_type, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
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

    // Zero-filled, so that the recovery path frees exactly the rows made.
    row_pointers = static_cast<png_bytepp>(try_calloc(
        static_cast<std::size_t>(height), sizeof(png_bytep), "PNG row pointers", failure));
    if (row_pointers == nullptr) png_longjmp(png, 1);
    rows = height;
    for (int y = 0; y < height; ++y) {
        row_pointers[y] = static_cast<png_bytep>(try_calloc(row_bytes, 1, "a PNG row", failure));
        if (row_pointers[y] == nullptr) png_longjmp(png, 1);
        fill(row_pointers[y], y, width, pixels);
    }

    png_write_image(png, row_pointers);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);

    free_png_rows(row_pointers, height);

    if (!close_output_file(fp, &out)) {
        set_codec_failure(failure, codec_failure_kind::file, "dispsmooth: cannot write \"%s\": %s",
                          filename, std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace dispsmooth::png_detail
