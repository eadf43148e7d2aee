// Per-thread settings of the library's routines.  The tool never changes
// them, so its routines behave as they always have: a refused allocation
// ends the process and the smoothing draws its progress indicator whenever
// standard error is a terminal.  The error-reporting API (api/) changes them
// on the calling thread for the duration of one call.
#ifndef DISPSMOOTH_COMMON_CALL_SETTINGS_H
#define DISPSMOOTH_COMMON_CALL_SETTINGS_H

namespace dispsmooth {

struct call_settings {
    // checked_calloc throws std::bad_alloc instead of ending the process, but
    // only when called at this OpenMP nesting level (omp_get_level()): the
    // level of the API call itself, never from inside a parallel region that
    // the routines open, which an exception must not leave.  -1: never.
    int throw_at_omp_level = -1;
    // The smoothing may draw its progress indicator (on a terminal only).
    bool progress_allowed = true;
};

// The settings of the calling thread.  OpenMP worker threads keep the
// defaults.
inline thread_local call_settings this_thread_settings;

}  // namespace dispsmooth

#endif
