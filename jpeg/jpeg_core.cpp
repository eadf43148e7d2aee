// The JPEG codec's core: the library's error handling, the decode into
// 8-bit RGB and the quality 85 encode into a new file that replaces the
// target once complete.
#include "jpeg/jpeg_internal.h"

#include "common/alloc.h"
#include "common/image_sink.h"
#include "common/memory_budget.h"
#include "common/output_file.h"

#include <unistd.h>
#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>
// After jpeglib.h: the library's message codes (JWRN_JPEG_EOF).
#include <jerror.h>

namespace dispsmooth::jpeg_detail {

namespace {

// The first half of the reader's and the encoder's error exits: the
// library's message for the error is kept in *failure where the library's
// messages are kept, and written as the standard error manager writes it
// otherwise.
void report_library_error(j_common_ptr cinfo, codec_failure *failure) {
    if (failure->capture_library_messages) {
        char text[JMSG_LENGTH_MAX];
        (*cinfo->err->format_message)(cinfo, text);
        keep_library_message(failure, "%s", text);
    } else {
        (*cinfo->err->output_message)(cinfo);
    }
}

// Where the library's messages are kept, warnings are counted, not written.
void count_warning(j_common_ptr cinfo, int msg_level) {
    if (msg_level < 0) ++cinfo->err->num_warnings;
}

bool decoder_keeps_messages(j_common_ptr cinfo);
bool decoder_in_image_data(j_common_ptr cinfo);
void (*standard_emit_message(j_common_ptr cinfo))(j_common_ptr, int);

// The reader's message hook.  The library pads a stream that ends before
// its image does with fake data and a warning ("Premature end of JPEG
// file"), which would read a damaged or header-only file as an image: that
// warning, once the header has been read, ends the decode as an error
// does, before the padded rows cost anything.  Every other message goes where it went before.
void refuse_premature_end(j_common_ptr cinfo, int msg_level) {
    if (msg_level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF && decoder_in_image_data(cinfo))
        (*cinfo->err->error_exit)(cinfo);
    if (decoder_keeps_messages(cinfo))
        count_warning(cinfo, msg_level);
    else
        (*standard_emit_message(cinfo))(cinfo, msg_level);
}

// The reader's error manager: the library's standard manager first, so that
// cinfo->err, which points at pub, also points at the whole record, and the
// jump buffer of the reader's recovery point after it.
struct my_error_mgr {
    struct jpeg_error_mgr pub;
    jmp_buf setjmp_buffer;
};

typedef struct my_error_mgr *my_error_ptr;

// Everything of one decode that the library works on.  It lives in a block
// of its own, not on the reader's stack: after a jump back to the recovery
// point the reader's own locals that changed since the point was set are
// indeterminate, and the library object changes with every call.
struct jpeg_decoder {
    struct jpeg_decompress_struct cinfo;
    struct my_error_mgr jerr;
    struct jpeg_progress_mgr progress;
    codec_failure *failure;
    // The standard manager's message hook, which refuse_premature_end calls
    // for the messages it lets through.
    void (*emit_message)(j_common_ptr, int);
    // Past the header: an end of the data from here on is a damaged file.
    // (An end within the header keeps the library's own error for it.)
    bool in_image_data;
};

// The decoder block cinfo is the first member of.
jpeg_decoder *decoder_of(j_common_ptr cinfo) { return reinterpret_cast<jpeg_decoder *>(cinfo); }

bool decoder_keeps_messages(j_common_ptr cinfo) {
    return decoder_of(cinfo)->failure->capture_library_messages;
}

bool decoder_in_image_data(j_common_ptr cinfo) { return decoder_of(cinfo)->in_image_data; }

void (*standard_emit_message(j_common_ptr cinfo))(j_common_ptr, int) {
    return decoder_of(cinfo)->emit_message;
}

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
    report_library_error(cinfo, decoder_of(cinfo)->failure);
    // NOLINTNEXTLINE(cert-err52-cpp): libjpeg needs an error_exit that does not return
    longjmp(myerr->setjmp_buffer, 1);
}

// Installed as the progress monitor, which the library calls before every
// step of its input, and so on each new scan too: past max_scans, refuses
// the file through the recovery point, as an error would.
void refuse_too_many_scans(j_common_ptr cinfo) {
    if (cinfo->is_decompressor == 0) return;
    const int scan = reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number;
    if (scan <= max_scans) return;
    codec_failure *failure = decoder_of(cinfo)->failure;
    if (failure->capture_library_messages)
        keep_library_message(failure,
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

// Everything of one encode that the library works on, and what the recovery
// path releases.  It lives in a block of its own, not on the encoder's
// stack: after a jump back to the recovery point the encoder's own locals
// that changed since the point was set are indeterminate.
struct jpeg_encoder {
    struct jpeg_compress_struct cinfo;  // first: the library's pointer is the block's
    struct jpeg_error_mgr jerr;
    jmp_buf setjmp_buffer;
    codec_failure *failure;
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
    report_library_error(cinfo, encoder->failure);
    // NOLINTNEXTLINE(cert-err52-cpp): libjpeg needs an error_exit that does not return
    longjmp(encoder->setjmp_buffer, 1);
}

}  // namespace

// Everything between the recovery point and the return is plain data (the
// stream, the decoder block and raw pointers): a jump back from the error
// exit skips no clean-up.  The recovery path uses only filename, decoder
// and infile, which are fixed before the recovery point is set, and the
// decoder block they point at, which is no local of this function.
bool try_read_jpeg(const char *filename, const image_sink *sink, codec_failure *failure) {
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
    decoder->emit_message = decoder->jerr.pub.emit_message;
    decoder->jerr.pub.emit_message = refuse_premature_end;
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
    decoder->in_image_data = true;

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
    if (!fits_int32(cinfo.image_width, cinfo.image_height, 3) ||
        static_cast<unsigned long long>(cinfo.image_width) * cinfo.image_height > max_pixels) {
        set_codec_failure(failure, codec_failure_kind::file,
                          "dispsmooth: \"%s\" is too large: %u x %u pixels", filename,
                          cinfo.image_width, cinfo.image_height);
        return abandon_decode(decoder, infile);
    }

    // What the sink keeps and, for a progressive file, the library's
    // coefficients of the whole image must fit in what the process may still
    // allocate: a declared size that would not is refused with the figures
    // rather than ended by the kernel.
    const std::uint64_t bytes_per_pixel =
        sink->bytes_per_pixel +
        (jpeg_has_multiple_scans(&cinfo) ? 2 * static_cast<unsigned>(cinfo.num_components) : 0);
    if (!try_reserve_image_memory(
            filename,
            static_cast<std::uint64_t>(cinfo.image_width) * cinfo.image_height * bytes_per_pixel,
            cinfo.image_width, cinfo.image_height, failure))
        return abandon_decode(decoder, infile);

    jpeg_start_decompress(&cinfo);

    // The unpacking below takes three samples per pixel from each row.
    if (cinfo.output_components != 3 || !fits_int32(cinfo.output_width, cinfo.output_height, 3)) {
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
    if (!sink->begin(sink->target, width, height, filename, failure))
        return abandon_decode(decoder, infile);

    while (cinfo.output_scanline < cinfo.output_height) {
        const int y = static_cast<int>(cinfo.output_scanline);
        jpeg_read_scanlines(&cinfo, buffer, 1);
        sink->store_row(sink->target, y, buffer[0], 3, 0, 1);
    }

    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    (void)std::fclose(infile);
    std::free(decoder);
    return true;
}

// Between the recovery point and the return there is plain data only (the
// encoder block, the output record and raw pointers); the recovery path
// uses only what was fixed before the point was set.  The file is written
// as a new file beside the target where possible and renamed over it once
// complete.
bool try_write_jpeg_rgb(const char *filename, int width, int height, const int *image_arr,
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
