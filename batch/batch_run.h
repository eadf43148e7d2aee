// The run over all frames: threads taking frames in turn (a large frame
// taking every thread for its rows), the progress bar on a terminal, the
// JSON lines, the failures' report and Ctrl-C.
#ifndef DISPSMOOTH_BATCH_BATCH_RUN_H
#define DISPSMOOTH_BATCH_BATCH_RUN_H

#include <vector>

#include "batch/batch_options.h"
#include "batch/frame_list.h"

namespace dispsmooth::batch {

// Frames of at least this many pixels are smoothed one at a time on every
// thread; smaller ones one a thread, several at once.
inline constexpr long long large_frame_pixels = 1LL << 21;

// Smooths every frame and returns the exit status: 0 when all were
// written, 1 when some failed.  After SIGINT, SIGTERM or SIGHUP it stops
// taking frames, cancels the smoothing under way, lets the writes under way
// finish and ends the process by the same signal.
int run_batch(const batch_options &options, const std::vector<frame> &frames);

}  // namespace dispsmooth::batch

#endif
