#include "jpeg/jpeg_internal.h"

#include "common/alloc.h"
#include "common/output_file.h"

#include <unistd.h>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

namespace {

// Everything of one encode that the library works on, and what the recovery
// path releases.  It lives in a block of its own, not on the encoder's
// stack: after a jump back to the recovery point the encoder's own locals
// that changed since the point was set are indeterminate.
struct jpeg_encoder {
    struct jpeg_compress_struct cinfo;  // first: the library's pointer is the block's
    struct jpeg_error_mgr jerr;
    jmp_buf setjmp_buffer;
    dispsmooth::codec_failure *failure;
    FILE *outfile;
    JSAMPROW row;
};

// The standard error manager's error_exit writes the library's message (as
// this does unless the library's messages are kept) and ends the process
// with status 1; this returns to the encoder's recovery point instead,
// which releases everything.  It is also how the stdio destination reports
// a failed fwrite or fflush.
void encoder_error_exit(j_common_ptr cinfo) {
    jpeg_encoder *encoder = reinterpret_cast<jpeg_encoder *>(cinfo);
    if (encoder->failure->capture_library_messages) {
        char text[JMSG_LENGTH_MAX];
        (*cinfo->err->format_message)(cinfo, text);
        dispsmooth::keep_library_message(encoder->failure, "%s", text);
    } else {
        (*cinfo->err->output_message)(cinfo);
    }
    // NOLINTNEXTLINE(cert-err52-cpp): libjpeg needs an error_exit that does not return
    longjmp(encoder->setjmp_buffer, 1);
}

// Where the library's messages are kept, warnings are counted, not written.
void count_warning(j_common_ptr cinfo, int msg_level) {
    if (msg_level < 0) ++cinfo->err->num_warnings;
}

}  // namespace

namespace dispsmooth::jpeg_detail {

// Between the recovery point and the return there is plain data only (the
// encoder block, the output record and raw pointers); the recovery path
// uses only what was fixed before the point was set.  The file is written
// as a new file beside the target where possible and renamed over it once
// complete.
bool write_jpeg_rgb(const char *filename, int width, int height, const int *image_arr,
                    codec_failure *failure) {
    // Refuse what JPEG cannot hold, and sizes whose array indices would
    // overflow, before anything is created.
    if (width <= 0 || height <= 0 || width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION) {
        set_codec_failure(failure, codec_failure_kind::request,
                          "dispsmooth: cannot write \"%s\": a JPEG image is 1 to %ld pixels wide "
                          "and high, not %d x %d",
                          filename, static_cast<long>(JPEG_MAX_DIMENSION), width, height);
        return false;
    }
    if (!fits_int32(width, height, 3)) {
        set_codec_failure(failure, codec_failure_kind::request,
                          "dispsmooth: cannot write \"%s\": %d x %d pixels is too large", filename,
                          width, height);
        return false;
    }

    const int image_width = width;
    const int image_height = height;
    const int quality = 85;

    jpeg_encoder *const encoder = static_cast<jpeg_encoder *>(
        try_calloc(1, sizeof(jpeg_encoder), "the JPEG encoder", failure));
    if (encoder == nullptr) return false;
    encoder->failure = failure;
    struct jpeg_compress_struct &cinfo = encoder->cinfo;
    cinfo.err = jpeg_std_error(&encoder->jerr);
    encoder->jerr.error_exit = encoder_error_exit;
    if (failure->capture_library_messages) encoder->jerr.emit_message = count_warning;

    output_file out;
    begin_output_file(filename, &out);
    FILE *outfile = out.temp_fd >= 0 ? fdopen(out.temp_fd, "wb") : std::fopen(filename, "wb");
    if (outfile == nullptr) {
        if (out.temp_fd >= 0) {
            close(out.temp_fd);
            discard_output_file(&out);
        }
        std::free(encoder);
        set_codec_failure(failure, codec_failure_kind::file, "can't open %s", filename);
        return false;
    }
    encoder->outfile = outfile;

    // After the library's message (written or kept) the tool ends with
    // status 1, as the standard error manager would.  jpeg_destroy_compress
    // releases nothing while mem is null, should creation itself fail.
    cinfo.mem = nullptr;
    // NOLINTNEXTLINE(cert-err52-cpp): the error exit jumps here; only plain data lives in between
    if (setjmp(encoder->setjmp_buffer)) {
        jpeg_destroy_compress(&encoder->cinfo);
        (void)std::fclose(encoder->outfile);
        std::free(encoder->row);
        std::free(encoder);
        discard_output_file(&out);
        if (failure->kind == codec_failure_kind::none) failure->kind = codec_failure_kind::file;
        return false;
    }
    jpeg_CreateCompress(&cinfo, JPEG_LIB_VERSION, sizeof(struct jpeg_compress_struct));
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
    encoder->row = static_cast<JSAMPROW>(
        try_calloc(static_cast<std::size_t>(row_stride), 1, "JPEG row", failure));
    // NOLINTNEXTLINE(cert-err52-cpp): the one recovery path, as for the library's errors
    if (encoder->row == nullptr) longjmp(encoder->setjmp_buffer, 1);
    row_pointer[0] = encoder->row;

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

    jpeg_finish_compress(&cinfo);
    std::free(encoder->row);
    jpeg_destroy_compress(&cinfo);
    std::free(encoder);
    // The destination flushes and checks the stream in jpeg_finish_compress;
    // a failure that only fsync or fclose sees must not pass for a written
    // file either.
    if (!close_output_file(outfile, &out)) {
        set_codec_failure(failure, codec_failure_kind::file, "dispsmooth: error writing \"%s\": %s",
                          filename, std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace dispsmooth::jpeg_detail
