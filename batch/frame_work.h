// One frame's work: reading its two files, smoothing the map in its own
// encoding, and writing the result in the output encoding.
#ifndef DISPSMOOTH_BATCH_FRAME_WORK_H
#define DISPSMOOTH_BATCH_FRAME_WORK_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "batch/batch_options.h"
#include "batch/frame_list.h"

namespace dispsmooth::batch {

// A frame read into memory.
struct loaded_frame {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> reference;  // R, G, B per pixel
    encoding stored = encoding::gray8;    // the map's encoding, resolved
    std::vector<std::uint8_t> gray8;      // encoding gray8
    std::vector<std::uint16_t> levels16;  // encoding kitti
    std::vector<float> floats;            // encoding pfm
};

// Reads both files of f.  Throws dispsmooth::error (file_error for the
// files) with the message to report, std::bad_alloc when memory runs out.
loaded_frame load_frame(const frame &f, const batch_options &options);

// Smooths the map in place with threads threads; throws dispsmooth::error
// for a map the smoothing refuses and dispsmooth::cancelled once *cancel is
// set.
void smooth_frame(loaded_frame &map, const batch_options &options, int threads,
                  const std::atomic<bool> *cancel);

// Writes the map to f.output in the output encoding (the folder made as
// needed); throws as load_frame does.
void write_frame(const loaded_frame &map, const frame &f, const batch_options &options);

}  // namespace dispsmooth::batch

#endif
