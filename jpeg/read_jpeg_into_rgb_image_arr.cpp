#include "dispsmooth/jpeg_codec.h"

#include "checked_alloc.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace {

// The reader's error manager: the library's standard manager first, so that
// cinfo->err, which points at pub, also points at the whole record, and the
// jump buffer of the reader's recovery point after it.
struct my_error_mgr {
    struct jpeg_error_mgr pub;
    jmp_buf setjmp_buffer;
};

typedef struct my_error_mgr *my_error_ptr;

// Installed as error_exit: writes the library's message for the error and
// returns to the reader's recovery point instead of into the library.
void my_error_exit(j_common_ptr cinfo) {
    my_error_ptr myerr = reinterpret_cast<my_error_ptr>(cinfo->err);
    (*cinfo->err->output_message)(cinfo);
    longjmp(myerr->setjmp_buffer, 1);
}

// The abnormal end of every failed decode, after the message has been
// written: release the library object, close the file, abort.
[[noreturn]] void abandon_decode(j_decompress_ptr cinfo, FILE *infile) {
    jpeg_destroy_decompress(cinfo);
    std::fclose(infile);
    std::abort();
}

const char *colour_space_name(J_COLOR_SPACE space) {
    switch (space) {
    case JCS_CMYK: return "CMYK";
    case JCS_YCCK: return "YCCK";
    default: return nullptr;
    }
}

}  // namespace

// Everything between the recovery point and the return is plain data (the
// stream, the library objects and raw pointers): a jump back from the error
// exit skips no clean-up.  The recovery path uses only cinfo and infile, both
// fixed before the recovery point is set.
void read_jpeg_into_rgb_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr) {
    FILE *infile = std::fopen(filename, "rb");
    if (infile == nullptr) {
        std::fprintf(stderr, "can't open %s\n", filename);
        std::abort();
    }

    struct jpeg_decompress_struct cinfo;
    struct my_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr.pub);
    jerr.pub.error_exit = my_error_exit;
    // jpeg_destroy_decompress on the recovery path releases nothing while
    // mem is null, should creation itself fail.
    cinfo.mem = nullptr;
    if (setjmp(jerr.setjmp_buffer)) abandon_decode(&cinfo, infile);

    jpeg_CreateDecompress(&cinfo, JPEG_LIB_VERSION, sizeof(struct jpeg_decompress_struct));
    jpeg_stdio_src(&cinfo, infile);
    jpeg_read_header(&cinfo, TRUE);

    // Colour files decode to RGB by default.  Greyscale files are expanded to
    // RGB by the library, so every pixel has three samples and the red one
    // is the grey level.  Anything else (CMYK, YCCK, unknown layouts) has no
    // RGB output here and is refused.
    if (cinfo.jpeg_color_space == JCS_GRAYSCALE) cinfo.out_color_space = JCS_RGB;
    if (cinfo.out_color_space != JCS_RGB) {
        const char *space = colour_space_name(cinfo.jpeg_color_space);
        if (space != nullptr) {
            std::fprintf(stderr,
                         "dispsmooth: \"%s\" is a %s JPEG; only colour and greyscale JPEGs are "
                         "supported\n",
                         filename, space);
        } else {
            std::fprintf(stderr,
                         "dispsmooth: \"%s\" is a JPEG of %d components in an unknown colour "
                         "space; only colour and greyscale JPEGs are supported\n",
                         filename, cinfo.num_components);
        }
        abandon_decode(&cinfo, infile);
    }
    // Refuse sizes whose array indices would overflow before the library
    // sets up its decoder for them.  The library pads a stream that ends
    // early with warnings instead of failing, so a header of a few bytes
    // could otherwise have gigabytes allocated and decoded: no image above
    // 2^28 pixels (16384 x 16384) is taken.
    const unsigned long long max_pixels = 1ull << 28;
    if (!dispsmooth::fits_int32(cinfo.image_width, cinfo.image_height, 3) ||
        static_cast<unsigned long long>(cinfo.image_width) * cinfo.image_height > max_pixels) {
        std::fprintf(stderr, "dispsmooth: \"%s\" is too large: %u x %u pixels\n", filename,
                     cinfo.image_width, cinfo.image_height);
        abandon_decode(&cinfo, infile);
    }

    jpeg_start_decompress(&cinfo);

    // The unpacking below takes three samples per pixel from each row.
    if (cinfo.output_components != 3 ||
        !dispsmooth::fits_int32(cinfo.output_width, cinfo.output_height, 3)) {
        std::fprintf(stderr,
                     "dispsmooth: \"%s\" decodes to %d samples per pixel at %u x %u pixels; only "
                     "colour and greyscale JPEGs are supported\n",
                     filename, cinfo.output_components, cinfo.output_width, cinfo.output_height);
        abandon_decode(&cinfo, infile);
    }

    const int row_stride = static_cast<int>(cinfo.output_width) * cinfo.output_components;
    JSAMPARRAY buffer = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo),
                                                   JPOOL_IMAGE, row_stride, 1);

    const int width = static_cast<int>(cinfo.output_width);
    const int height = static_cast<int>(cinfo.output_height);
    int *image_arr = static_cast<int *>(
        dispsmooth::checked_calloc(static_cast<std::size_t>(width) * height, 3 * sizeof(int),
                                   "JPEG image array", dispsmooth::on_failure::abort_process));

    while (cinfo.output_scanline < cinfo.output_height) {
        const int i = static_cast<int>(cinfo.output_scanline);
        jpeg_read_scanlines(&cinfo, buffer, 1);
        const JSAMPLE *row = buffer[0];
        for (int j = 0; j < width; j++) {
            for (int c = 0; c < 3; c++) image_arr[3 * (i * width + j) + c] = row[3 * j + c];
        }
    }

    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(infile);

    *pw = width;
    *ph = height;
    *pimage_arr = image_arr;
}
