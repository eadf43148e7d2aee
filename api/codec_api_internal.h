// The codec side of the error-reporting interface: the codec cores that the
// tool's routines are built over, called with the library's messages kept.
#ifndef DISPSMOOTH_API_CODEC_API_INTERNAL_H
#define DISPSMOOTH_API_CODEC_API_INTERNAL_H

#include <string>

#include "common/codec_failure.h"
#include "dispsmooth/dispsmooth.hpp"

namespace dispsmooth::api {

enum class image_format { tiff, png, jpeg };

// The format for path's extension, as the tool chooses it; throws
// dispsmooth::error with the tool's two lines for any other.
image_format format_for_path(const std::string &path);

// Throws what the failure calls for: std::bad_alloc for an allocation,
// dispsmooth::file_error otherwise, with the library's message and the
// codec's, one line each.
[[noreturn]] void throw_codec_failure(const codec_failure &failure);

// Decodes path into R, G, B samples, *pw x *ph pixels, with the reader of
// the format.
rgb_image read_rgb_samples(const std::string &path);

}  // namespace dispsmooth::api

#endif
