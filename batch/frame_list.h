// The frames of a run: which reference image guides which disparity map,
// and where each result goes, from pairs of files, two folders matched by
// file name, a folder of scenes or a list file.
#ifndef DISPSMOOTH_BATCH_FRAME_LIST_H
#define DISPSMOOTH_BATCH_FRAME_LIST_H

#include <string>
#include <vector>

#include "batch/batch_options.h"

namespace dispsmooth::batch {

struct frame {
    // Empty when no reference matches the disparity map: the frame fails
    // with missing_reference as its message.
    std::string reference;
    std::string disparity;
    std::string output;
    std::string missing_reference;
};

// The frames of the options' inputs, in the order they are listed (folders
// sorted by name).  Throws usage_error for inputs that cannot make a run: a
// missing folder or list file, an odd count of files, no frame at all, two
// frames with one output, and an output that would replace an input.
std::vector<frame> plan_frames(const batch_options &options);

}  // namespace dispsmooth::batch

#endif
