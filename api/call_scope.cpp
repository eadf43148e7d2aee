#include "api/api_internal.h"
#include "common/call_settings.h"

namespace dispsmooth::api {

call_scope::call_scope(const smooth_options &options)
    : saved_throw_(this_thread_settings.throw_on_failure),
      saved_progress_(this_thread_settings.progress_allowed),
      saved_threads_(this_thread_settings.threads),
      saved_cancel_(this_thread_settings.cancel) {
    // Work that the routines share among threads still ends the process on
    // a refused allocation (common/parallel.h), so no exception ever has to
    // leave it.
    this_thread_settings.throw_on_failure = true;
    this_thread_settings.progress_allowed = options.progress;
    if (options.threads > 0) this_thread_settings.threads = options.threads;
    this_thread_settings.cancel = options.cancel;
    this_thread_settings.stopped = false;
}

bool call_scope::stopped() const { return this_thread_settings.stopped; }

call_scope::~call_scope() {
    this_thread_settings.cancel = saved_cancel_;
    this_thread_settings.threads = saved_threads_;
    this_thread_settings.progress_allowed = saved_progress_;
    this_thread_settings.throw_on_failure = saved_throw_;
}

}  // namespace dispsmooth::api
