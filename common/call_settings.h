// Per-thread settings of the library's routines.  The tool never changes
// them, so its routines behave as they always have: a refused allocation
// ends the process, the smoothing draws its progress indicator whenever
// standard error is a terminal and uses the default count of threads.  The
// error-reporting API (api/) changes them on the calling thread for the
// duration of one call.
#ifndef DISPSMOOTH_COMMON_CALL_SETTINGS_H
#define DISPSMOOTH_COMMON_CALL_SETTINGS_H

#include <atomic>

namespace dispsmooth {

struct call_settings {
    // checked_calloc throws std::bad_alloc instead of ending the process,
    // but never from inside the work that the routines share among threads
    // (common/parallel.h), which an exception must not leave half done.
    bool throw_on_failure = false;
    // The smoothing may draw its progress indicator (on a terminal only).
    bool progress_allowed = true;
    // Threads for the routines' shared work: 1 or more, or 0 for
    // default_thread_count().
    int threads = 0;
    // Set by another thread to stop the smoothing between batches of rows:
    // the routine then returns with its result incomplete, and the caller,
    // which set the flag, throws the result away.  Null: never stopped.
    const std::atomic<bool> *cancel = nullptr;
    // Set by call_cancelled when it found the flag set: the routine that
    // asked left its output as it was.
    bool stopped = false;
};

// The settings of the calling thread.  The threads started for shared work
// keep the defaults.
inline thread_local call_settings this_thread_settings;

// True when the calling thread's call was asked to stop; the caller then
// leaves its output as it was, and the call is marked as stopped.
inline bool call_cancelled() {
    const std::atomic<bool> *cancel = this_thread_settings.cancel;
    if (cancel == nullptr || !cancel->load(std::memory_order_relaxed)) return false;
    this_thread_settings.stopped = true;
    return true;
}

}  // namespace dispsmooth

#endif
