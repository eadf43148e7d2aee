#include "png_internal.h"

#include "checked_alloc.h"
#include "output_file.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace dispsmooth::png_detail {

// No object with a destructor may live in this function: libpng's errors
// come back through longjmp to the recovery point below, which skips them.
// The recovery path uses only filename and out, both fixed before the
// recovery point is set: it removes the unfinished new file and aborts,
// leaving whatever else is allocated to the process's end.
void write_png_rows(const char *filename, int width, int height, int color_type,
                    int bytes_per_pixel, png_row_fill fill, const void *pixels) {
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
        std::fprintf(stderr, "dispsmooth: cannot open \"%s\" for writing: %s\n", filename,
                     std::strerror(open_errno));
        std::abort();
    }

    // The version string is the one the codec was written against; libpng
    // accepts any 1.6.x for it.  Null handlers keep libpng's own error and
    // warning messages on standard error.
    png_structp png = png_create_write_struct("1.6.17", nullptr, nullptr, nullptr);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    if (info == nullptr) {
        discard_output_file(&out);
        std::fprintf(stderr, "dispsmooth: cannot write PNG image \"%s\"\n", filename);
        std::abort();
    }

    if (setjmp(*png_set_longjmp_fn(png, longjmp, sizeof(jmp_buf))) != 0) {
        discard_output_file(&out);
        std::fprintf(stderr, "dispsmooth: cannot write PNG image \"%s\"\n", filename);
        std::abort();
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
        discard_output_file(&out);
        std::fprintf(stderr, "dispsmooth: cannot write \"%s\": %d x %d pixels is too large\n",
                     filename, width, height);
        std::abort();
    }
    const std::size_t row_bytes = png_get_rowbytes(png, info);
    if (row_bytes != static_cast<std::size_t>(bytes_per_pixel) * static_cast<std::size_t>(width)) {
        discard_output_file(&out);
        std::fprintf(stderr, "dispsmooth: cannot write \"%s\": unexpected PNG row size %zu\n",
                     filename, row_bytes);
        std::abort();
    }

    // A refused allocation aborts, which removes the new file too.
    png_bytepp row_pointers = static_cast<png_bytepp>(checked_calloc(
        static_cast<std::size_t>(height), sizeof(png_bytep), "PNG row pointers",
        on_failure::abort_process));
    for (int y = 0; y < height; ++y) {
        row_pointers[y] = static_cast<png_bytep>(
            checked_calloc(row_bytes, 1, "a PNG row", on_failure::abort_process));
        fill(row_pointers[y], y, width, pixels);
    }

    png_write_image(png, row_pointers);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);

    for (int y = 0; y < height; ++y) std::free(row_pointers[y]);
    std::free(row_pointers);

    // The last buffered bytes reach the file only here: a failed flush, sync
    // or close is a failed write.  The new file reaches the disk before it
    // takes the target's place.
    bool written = std::fflush(fp) == 0 && sync_output_file(&out, fileno(fp));
    int write_errno = errno;
    if (std::fclose(fp) != 0 && written) {
        written = false;
        write_errno = errno;
    }
    if (written && !commit_output_file(&out)) {
        written = false;
        write_errno = errno;
    }
    if (!written) {
        discard_output_file(&out);
        std::fprintf(stderr, "dispsmooth: cannot write \"%s\": %s\n", filename,
                     std::strerror(write_errno));
        std::abort();
    }
}

}  // namespace dispsmooth::png_detail
