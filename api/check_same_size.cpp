#include <string>

#include "api/api_internal.h"

namespace dispsmooth::api {

void check_same_size(long long reference_width, long long reference_height,
                     long long disparity_width, long long disparity_height) {
    // The tool's message, without the file names it has and an array has not.
    if (reference_width != disparity_width || reference_height != disparity_height)
        throw error("dispsmooth: reference image is " + std::to_string(reference_width) + "x" +
                    std::to_string(reference_height) + " but disparity map is " +
                    std::to_string(disparity_width) + "x" + std::to_string(disparity_height) +
                    "; they must have the same size");
}

}  // namespace dispsmooth::api
