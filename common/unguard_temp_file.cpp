#include "common/temp_file_guard.h"

#include <signal.h>

namespace dispsmooth {

void unguard_temp_file(int place) {
    using namespace temp_file_guard_detail;
    if (place < 0 || place >= slot_count) return;
    slots[place].state.store(slot_free);

    const std::lock_guard<std::mutex> lock(install_mutex);
    if (registered == 0 || --registered > 0) return;
    // The last file is done with: back to the default disposition, unless
    // the program has meanwhile installed a handler of its own.
    for (int k = 0; k < guarded_signal_count; ++k) {
        if (!installed[k]) continue;
        installed[k] = false;
        struct sigaction current {};
        if (sigaction(guarded_signals[k], nullptr, &current) != 0) continue;
        if ((current.sa_flags & SA_SIGINFO) != 0 ||
            current.sa_handler != dispsmooth_remove_temp_files_and_reraise)
            continue;
        struct sigaction default_action {};
        default_action.sa_handler = SIG_DFL;
        sigemptyset(&default_action.sa_mask);
        sigaction(guarded_signals[k], &default_action, nullptr);
    }
}

}  // namespace dispsmooth
