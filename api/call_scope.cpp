#include <omp.h>

#include "api/api_internal.h"
#include "common/call_settings.h"

namespace dispsmooth::api {

call_scope::call_scope(const smooth_options &options)
    : saved_throw_level_(this_thread_settings.throw_at_omp_level),
      saved_progress_(this_thread_settings.progress_allowed),
      saved_threads_(0) {
    // Parallel regions that the routines open lie one level deeper: an
    // allocation refused inside one still ends the process, so no exception
    // ever has to leave such a region.
    this_thread_settings.throw_at_omp_level = omp_get_level();
    this_thread_settings.progress_allowed = options.progress;
    if (options.threads > 0) {
        // The count of the calling thread's own parallel regions, which is
        // what omp_set_num_threads changes.
        saved_threads_ = omp_get_max_threads();
        omp_set_num_threads(options.threads);
    }
}

call_scope::~call_scope() {
    if (saved_threads_ > 0) omp_set_num_threads(saved_threads_);
    this_thread_settings.progress_allowed = saved_progress_;
    this_thread_settings.throw_at_omp_level = saved_throw_level_;
}

}  // namespace dispsmooth::api
