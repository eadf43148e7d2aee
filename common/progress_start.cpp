#include "common/progress.h"

#include <unistd.h>
#include <algorithm>
#include <new>

#include "common/call_settings.h"

namespace dispsmooth {

progress_meter *progress_start(int total_rows) {
    if (total_rows <= 0 || !this_thread_settings.progress_allowed || isatty(STDERR_FILENO) != 1)
        return nullptr;
    // One line on the terminal: a second smoothing running at the same time
    // stays silent instead of drawing over the first.
    bool expected = false;
    if (!progress_line_taken.compare_exchange_strong(expected, true)) return nullptr;

    auto *meter = new (std::nothrow) progress_meter;
    if (meter == nullptr) {
        // No indicator is no failure: the smoothing goes on without it.
        progress_line_taken.store(false);
        return nullptr;
    }
    meter->total_rows = total_rows;
    // About 256 looks at the clock over the whole run, at least one per row.
    meter->check_every = std::max(1, total_rows / 256);
    meter->started = progress_meter::clock::now();
    meter->last_drawn = meter->started;
    return meter;
}

}  // namespace dispsmooth
