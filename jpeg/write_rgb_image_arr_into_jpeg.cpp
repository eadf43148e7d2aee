#include "dispsmooth/jpeg_codec.h"

#include "checked_alloc.h"
#include "output_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <jpeglib.h>

// Library errors go through the standard error manager unchanged: its
// error_exit writes the library's message and exits with status 1, which is
// also how the stdio destination reports a failed fwrite or fflush.  The
// file is written as a new file beside the target where possible and
// renamed over it once complete; exit() removes that new file when the
// write does not get that far.
void write_rgb_image_arr_into_jpeg(const char *filename, int width, int height,
                                   const int *image_arr) {
    // Refuse what JPEG cannot hold, and sizes whose array indices would
    // overflow, before anything is created.
    if (width <= 0 || height <= 0 || width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION) {
        std::fprintf(stderr,
                     "dispsmooth: cannot write \"%s\": a JPEG image is 1 to %ld pixels wide and "
                     "high, not %d x %d\n",
                     filename, static_cast<long>(JPEG_MAX_DIMENSION), width, height);
        std::exit(1);
    }
    if (!dispsmooth::fits_int32(width, height, 3)) {
        std::fprintf(stderr, "dispsmooth: cannot write \"%s\": %d x %d pixels is too large\n",
                     filename, width, height);
        std::exit(1);
    }

    const int image_width = width;
    const int image_height = height;
    const int quality = 85;

    struct jpeg_compress_struct cinfo;
    struct jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_CreateCompress(&cinfo, JPEG_LIB_VERSION, sizeof(struct jpeg_compress_struct));

    dispsmooth::output_file out;
    dispsmooth::begin_output_file(filename, &out);
    FILE *outfile = out.temp_fd >= 0 ? fdopen(out.temp_fd, "wb") : std::fopen(filename, "wb");
    if (outfile == nullptr) {
        if (out.temp_fd >= 0) {
            close(out.temp_fd);
            dispsmooth::discard_output_file(&out);
        }
        std::fprintf(stderr, "can't open %s\n", filename);
        std::exit(1);
    }
    jpeg_stdio_dest(&cinfo, outfile);

    // The colour space and component count come first: jpeg_set_defaults
    // derives the file's layout from them.
    cinfo.image_width = static_cast<JDIMENSION>(image_width);
    cinfo.image_height = static_cast<JDIMENSION>(image_height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);

    const int row_stride = image_width * 3;
    JSAMPROW row_pointer[1];
    row_pointer[0] = static_cast<JSAMPROW>(dispsmooth::checked_calloc(
        static_cast<std::size_t>(row_stride), 1, "JPEG row", dispsmooth::on_failure::exit_status_1));

    while (cinfo.next_scanline < cinfo.image_height) {
        const int i = static_cast<int>(cinfo.next_scanline);
        for (int j = 0; j < width; j++) {
            for (int c = 0; c < 3; c++) {
                // Keep the low 8 bits, without clamping.
                row_pointer[0][3 * j + c] =
                    static_cast<JSAMPLE>(image_arr[3 * (i * width + j) + c] & 0xff);
            }
        }
        jpeg_write_scanlines(&cinfo, row_pointer, 1);
    }

    std::free(row_pointer[0]);
    jpeg_finish_compress(&cinfo);
    // The destination flushes and checks the stream in jpeg_finish_compress;
    // a failure that only fsync or fclose sees must not pass for a written
    // file either.  The new file reaches the disk before it takes the
    // target's place.
    bool failed = std::ferror(outfile) != 0 || std::fflush(outfile) != 0 ||
                  !dispsmooth::sync_output_file(&out, fileno(outfile));
    int write_errno = errno;
    if (std::fclose(outfile) != 0 && !failed) {
        failed = true;
        write_errno = errno;
    }
    jpeg_destroy_compress(&cinfo);
    if (!failed && !dispsmooth::commit_output_file(&out)) {
        failed = true;
        write_errno = errno;
    }
    if (failed) {
        dispsmooth::discard_output_file(&out);
        std::fprintf(stderr, "dispsmooth: error writing \"%s\": %s\n", filename,
                     std::strerror(write_errno));
        std::exit(1);
    }
}
