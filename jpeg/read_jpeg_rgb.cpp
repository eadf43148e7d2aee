#include "jpeg/jpeg_internal.h"

#include "common/alloc.h"

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

struct jpeg_decoder;
jpeg_decoder *decoder_of(j_common_ptr cinfo);

// Everything of one decode that the library works on.  It lives in a block
// of its own, not on the reader's stack: after a jump back to the recovery
// point the reader's own locals that changed since the point was set are
// indeterminate, and the library object changes with every call.
struct jpeg_decoder {
    struct jpeg_decompress_struct cinfo;
    struct my_error_mgr jerr;
    struct jpeg_progress_mgr progress;
    dispsmooth::codec_failure *failure;
    int *image_arr;  // the result, once allocated
};

// The decoder block cinfo is the first member of.
jpeg_decoder *decoder_of(j_common_ptr cinfo) { return reinterpret_cast<jpeg_decoder *>(cinfo); }

// A progressive file refines its image scan by scan, and each scan costs a
// pass over the whole image.  libjpeg's cjpeg and jpegtran write 10 scans
// for a colour image (6 for greyscale) and at most 100 even from a scan
// script of the user's; a file with more is refused before its scans cost
// more than a moment.
const int max_scans = 100;

// Installed as error_exit: writes the library's message for the error and
// returns to the reader's recovery point instead of into the library.
// Where the library's messages are kept, the message is kept instead of
// written.
void my_error_exit(j_common_ptr cinfo) {
    my_error_ptr myerr = reinterpret_cast<my_error_ptr>(cinfo->err);
    dispsmooth::codec_failure *failure = decoder_of(cinfo)->failure;
    if (failure->capture_library_messages) {
        char text[JMSG_LENGTH_MAX];
        (*cinfo->err->format_message)(cinfo, text);
        dispsmooth::keep_library_message(failure, "%s", text);
    } else {
        (*cinfo->err->output_message)(cinfo);
    }
    // NOLINTNEXTLINE(cert-err52-cpp): libjpeg needs an error_exit that does not return
    longjmp(myerr->setjmp_buffer, 1);
}

// Where the library's messages are kept, warnings are counted, not written.
void count_warning(j_common_ptr cinfo, int msg_level) {
    if (msg_level < 0) ++cinfo->err->num_warnings;
}

// Installed as the progress monitor, which the library calls before every
// step of its input, and so on each new scan too: past max_scans, refuses
// the file through the recovery point, as an error would.
void refuse_too_many_scans(j_common_ptr cinfo) {
    if (cinfo->is_decompressor == 0) return;
    const int scan = reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number;
    if (scan <= max_scans) return;
    dispsmooth::codec_failure *failure = decoder_of(cinfo)->failure;
    if (failure->capture_library_messages)
        dispsmooth::keep_library_message(failure,
                                         "dispsmooth: the JPEG image has more than "
                                         "%d scans (encoders write about 10)",
                                         max_scans);
    else
        (void)std::fprintf(stderr,
                           "dispsmooth: the JPEG image has more than %d scans (encoders "
                           "write about "
                           "10)\n",
                           max_scans);
    // NOLINTNEXTLINE(cert-err52-cpp): the way back from inside the library, as for an error
    longjmp(reinterpret_cast<my_error_ptr>(cinfo->err)->setjmp_buffer, 1);
}

// The end of every failed decode, after the failure has been recorded:
// release the library object, the result and the decoder block, close the
// file.
bool abandon_decode(jpeg_decoder *decoder, FILE *infile) {
    jpeg_destroy_decompress(&decoder->cinfo);
    (void)std::fclose(infile);
    std::free(decoder->image_arr);
    std::free(decoder);
    return false;
}

const char *colour_space_name(J_COLOR_SPACE space) {
    switch (space) {
    case JCS_CMYK:
        return "CMYK";
    case JCS_YCCK:
        return "YCCK";
    default:
        return nullptr;
    }
}

}  // namespace

// Everything between the recovery point and the return is plain data (the
// stream, the decoder block and raw pointers): a jump back from the error
// exit skips no clean-up.  The recovery path uses only filename, decoder
// and infile, which are fixed before the recovery point is set, and the
// decoder block they point at, which is no local of this function.
namespace dispsmooth::jpeg_detail {

bool read_jpeg_rgb(const char *filename, int *pw, int *ph, int **pimage_arr,
                   codec_failure *failure) {
    FILE *infile = std::fopen(filename, "rb");
    if (infile == nullptr) {
        set_codec_failure(failure, codec_failure_kind::file, "can't open %s", filename);
        return false;
    }

    jpeg_decoder *const decoder = static_cast<jpeg_decoder *>(
        try_file_calloc(1, sizeof(jpeg_decoder), "the JPEG decoder", filename, failure));
    if (decoder == nullptr) {
        (void)std::fclose(infile);
        return false;
    }
    decoder->failure = failure;
    struct jpeg_decompress_struct &cinfo = decoder->cinfo;
    cinfo.err = jpeg_std_error(&decoder->jerr.pub);
    decoder->jerr.pub.error_exit = my_error_exit;
    if (failure->capture_library_messages) decoder->jerr.pub.emit_message = count_warning;
    decoder->progress.progress_monitor = refuse_too_many_scans;
    // jpeg_destroy_decompress on the recovery path releases nothing while
    // mem is null, should creation itself fail.
    cinfo.mem = nullptr;
    // NOLINTNEXTLINE(cert-err52-cpp): the error exit jumps here; only plain data lives in between
    if (setjmp(decoder->jerr.setjmp_buffer)) {
        // After the library's message (or the refusal's), the file's name.
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: cannot read JPEG image \"%s\"", filename);
        return abandon_decode(decoder, infile);
    }

    jpeg_CreateDecompress(&cinfo, JPEG_LIB_VERSION, sizeof(struct jpeg_decompress_struct));
    cinfo.progress = &decoder->progress;
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
            set_codec_failure(failure, codec_failure_kind::file,
                              "dispsmooth: \"%s\" is a %s JPEG; only colour and "
                              "greyscale JPEGs are "
                              "supported",
                              filename, space);
        } else {
            set_codec_failure(failure, codec_failure_kind::file,
                              "dispsmooth: \"%s\" is a JPEG of %d components in an unknown colour "
                              "space; only colour and greyscale JPEGs are supported",
                              filename, cinfo.num_components);
        }
        return abandon_decode(decoder, infile);
    }
    // Refuse sizes whose array indices would overflow before the library
    // sets up its decoder for them.  The library pads a stream that ends
    // early with warnings instead of failing, so a header of a few bytes
    // could otherwise have gigabytes allocated and decoded: no image above
    // 2^28 pixels (16384 x 16384) is taken.
    const unsigned long long max_pixels = 1ull << 28;
    if (!dispsmooth::fits_int32(cinfo.image_width, cinfo.image_height, 3) ||
        static_cast<unsigned long long>(cinfo.image_width) * cinfo.image_height > max_pixels) {
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: \"%s\" is too large: %u x %u pixels", filename,
                          cinfo.image_width, cinfo.image_height);
        return abandon_decode(decoder, infile);
    }

    jpeg_start_decompress(&cinfo);

    // The unpacking below takes three samples per pixel from each row.
    if (cinfo.output_components != 3 ||
        !dispsmooth::fits_int32(cinfo.output_width, cinfo.output_height, 3)) {
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: \"%s\" decodes to %d samples per pixel at "
                          "%u x %u pixels; only "
                          "colour and greyscale JPEGs are supported",
                          filename, cinfo.output_components, cinfo.output_width,
                          cinfo.output_height);
        return abandon_decode(decoder, infile);
    }

    const int row_stride = static_cast<int>(cinfo.output_width) * cinfo.output_components;
    JSAMPARRAY buffer = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo),
                                                   JPOOL_IMAGE, row_stride, 1);

    const int width = static_cast<int>(cinfo.output_width);
    const int height = static_cast<int>(cinfo.output_height);
    decoder->image_arr = static_cast<int *>(
        try_file_calloc(static_cast<std::size_t>(width) * height, 3 * sizeof(int),
                        "the RGB image array", filename, failure));
    if (decoder->image_arr == nullptr) return abandon_decode(decoder, infile);
    int *const image_arr = decoder->image_arr;

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
    (void)std::fclose(infile);
    std::free(decoder);

    *pw = width;
    *ph = height;
    *pimage_arr = image_arr;
    return true;
}

}  // namespace dispsmooth::jpeg_detail
