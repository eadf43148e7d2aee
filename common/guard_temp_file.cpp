#include "common/temp_file_guard.h"

#include <signal.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace dispsmooth {

namespace temp_file_guard_detail {

extern "C" void dispsmooth_remove_temp_files_and_reraise(int sig) {
    const int saved_errno = errno;
    remove_guarded_temp_files();
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(sig, &default_action, nullptr);
    // The signal stays blocked while this handler runs: raised again, it is
    // delivered with its default action as soon as the handler returns.
    (void)raise(sig);
    errno = saved_errno;
}

namespace {

void remove_at_exit() { remove_guarded_temp_files(); }

// With the first registered file: the handler for every guarded signal that
// has its default disposition.  A signal the process ignores, or one that
// has a handler of the program's own, is left as it is.
void install_handlers() {
    for (int k = 0; k < guarded_signal_count; ++k) {
        struct sigaction current {};
        if (sigaction(guarded_signals[k], nullptr, &current) != 0) continue;
        if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) continue;
        struct sigaction action {};
        action.sa_handler = dispsmooth_remove_temp_files_and_reraise;
        sigemptyset(&action.sa_mask);
        // While one guarded signal is being handled the others wait, so the
        // files are removed once and the first signal decides the end.
        for (const int other : guarded_signals) sigaddset(&action.sa_mask, other);
        action.sa_flags = SA_RESTART;
        installed[k] = sigaction(guarded_signals[k], &action, nullptr) == 0;
    }
}

}  // namespace

}  // namespace temp_file_guard_detail

int guard_temp_file(const char *path) {
    using namespace temp_file_guard_detail;
    const std::size_t length = std::strlen(path);
    if (length >= sizeof slots[0].path) return -1;

    for (int place = 0; place < slot_count; ++place) {
        slot &s = slots[place];
        int expected = slot_free;
        if (!s.state.compare_exchange_strong(expected, slot_claimed)) continue;
        std::memcpy(s.path, path, length + 1);
        s.owner = getpid();
        {
            const std::lock_guard<std::mutex> lock(install_mutex);
            static bool exit_handler_registered = false;
            if (!exit_handler_registered)
                exit_handler_registered = std::atexit(remove_at_exit) == 0;
            if (registered++ == 0) install_handlers();
        }
        s.state.store(slot_armed);
        return place;
    }
    return -1;
}

}  // namespace dispsmooth
