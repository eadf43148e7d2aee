#include "api/codec_api_internal.h"

namespace dispsmooth {

rgb_image read_rgb_image(const std::string &path) { return api::read_rgb_samples(path); }

}  // namespace dispsmooth
