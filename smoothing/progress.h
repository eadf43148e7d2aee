// Progress indicator of the smoothing on a terminal: the percentage of rows
// done and an estimate of the time left, redrawn in place on standard error.
// When standard error is not a terminal, progress_start returns nullptr and
// the other two routines do nothing, so scripted runs see no extra output.
#ifndef DISPSMOOTH_SMOOTHING_PROGRESS_H
#define DISPSMOOTH_SMOOTHING_PROGRESS_H

#include <atomic>
#include <chrono>

namespace dispsmooth {

struct progress_meter {
    using clock = std::chrono::steady_clock;

    int total_rows = 0;
    int check_every = 1;  // rows between two looks at the clock
    std::atomic<int> rows_done{0};
    std::atomic_flag drawing = ATOMIC_FLAG_INIT;  // held by the one thread that redraws
    clock::time_point started;
    // Guarded by drawing (and owned by progress_finish once the rows are done).
    clock::time_point last_drawn;
    bool drawn = false;
};

// Redraw interval, and the quiet time at the start: a run shorter than this
// shows nothing at all.
inline constexpr std::chrono::milliseconds progress_interval{200};

// Begins a meter for total_rows rows, or returns nullptr when standard error
// is not a terminal, total_rows <= 0, another meter is already showing, or
// the calling thread's settings allow no indicator (call_settings.h).
progress_meter *progress_start(int total_rows);

// Counts one finished row; cheap and safe to call from any thread at once.
// Only one thread at a time redraws, and only every check_every rows does it
// read the clock.  A null meter is ignored.
void progress_row_done(progress_meter *meter);

// Erases the indicator if it was drawn and releases the meter.  Call it once
// after every row is done, from one thread.  A null meter is ignored.
void progress_finish(progress_meter *meter);

}  // namespace dispsmooth

#endif
