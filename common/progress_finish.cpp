#include "common/progress.h"

#include <cstdio>

namespace dispsmooth {

void progress_finish(progress_meter *meter) {
    if (meter == nullptr) return;
    // Back to the start of the line and clear it, so that what follows is
    // written as if the indicator had never been there.
    if (meter->drawn) {
        (void)std::fputs("\r\x1b[K", stderr);
        (void)std::fflush(stderr);
    }
    delete meter;
    progress_line_taken.store(false);
}

}  // namespace dispsmooth
