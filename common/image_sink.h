// Where a reader puts the pixels it decodes.  The readers hand over one row
// (or one strip) at a time, so that a read holds the caller's arrays plus
// one row of the decoder's own, never a second copy of the image.
#ifndef DISPSMOOTH_COMMON_IMAGE_SINK_H
#define DISPSMOOTH_COMMON_IMAGE_SINK_H

#include <cstddef>

namespace dispsmooth {

struct codec_failure;

// Plain function pointers and a pointer context: the readers call them
// between a recovery point (setjmp) and its jumps, where nothing with a
// destructor may live.  Neither function may throw.
struct image_sink {
    // Bytes the sink keeps per pixel, counted in the reader's check of the
    // declared size against the memory the process may still use.
    std::size_t bytes_per_pixel;
    // Called once the size is known and checked: makes room for width x
    // height pixels.  False, with *failure filled, when it cannot; what it
    // allocated before failing is the owner's to release either way.
    bool (*begin)(void *target, int width, int height, const char *filename,
                  codec_failure *failure);
    // Stores the pixels first_x, first_x + step_x, ... of row y, which
    // holds the row's pixels of channels 8-bit samples each (R, G, B, and A
    // when channels is 4).  A step above 1 is a pass of an interlaced file.
    void (*store_row)(void *target, int y, const unsigned char *row, int channels, int first_x,
                      int step_x);
    void *target;
};

// The tool's int arrays as a target: an RGB array (three ints a pixel), an
// alpha array and a gray array (the red sample, not a luminance, so that a
// gray file, R = G = B, reads back unchanged), each made only when wanted,
// with calloc, named in an allocation failure by its what.
struct int_arrays {
    bool want_rgb = false;
    bool want_alpha = false;
    const char *gray_what = nullptr;  // null: no gray array
    int width = 0;
    int height = 0;
    int *rgb = nullptr;
    int *alpha = nullptr;
    int *gray = nullptr;
};

image_sink int_arrays_sink(int_arrays *arrays);

// Frees the arrays made and sets their pointers to null.
void release_int_arrays(int_arrays *arrays);

// A codec's decode of filename into sink.
using image_reader = bool (*)(const char *filename, const image_sink *sink, codec_failure *failure);

// The tool's readers: decodes filename through read into *arrays; on a
// failure releases them and ends the process after the reader's message,
// with abort() or with exit status 1.
void read_int_arrays_or_end(image_reader read, const char *filename, int_arrays *arrays,
                            bool abort_process);

}  // namespace dispsmooth

#endif
