// Removal of the temporary output files when the process ends before they
// are renamed over their targets.  Private to the output-file steps.
#ifndef DISPSMOOTH_COMMON_TEMP_FILE_GUARD_H
#define DISPSMOOTH_COMMON_TEMP_FILE_GUARD_H

#include <sys/types.h>
#include <atomic>
#include <climits>
#include <csignal>
#include <mutex>

namespace dispsmooth {

// Registers path (shorter than PATH_MAX) for removal should the process end
// before unguard_temp_file: by exit(), or by SIGHUP, SIGINT, SIGTERM,
// SIGXFSZ or SIGABRT while their disposition is the default one.  Those
// handlers remove every registered file, restore the default disposition and
// raise the signal again, so the process ends as the signal would have
// ended it.  Handlers are installed while at least one file is registered.
// Returns the place that holds the name, for unguard_temp_file, or -1 when
// path could not be registered (too long, or as many files are being
// written at once as there are places to hold their names).
int guard_temp_file(const char *path);

// Forgets the name registered at place (a result of guard_temp_file other
// than -1) and, with the last one, restores the default disposition of the
// signals whose handler was installed for it.
void unguard_temp_file(int place);

// Removes every file this process registered.  Async-signal-safe: only
// lock-free atomic loads, getpid() and unlink().
void remove_guarded_temp_files();

namespace temp_file_guard_detail {

// A registered name.  The name is copied in while the slot is claimed and
// read by the handlers only once it is armed.
enum slot_state : int { slot_free = 0, slot_claimed = 1, slot_armed = 2 };

struct slot {
    std::atomic<int> state;
    // The process that registered the name: a child forked during the write
    // inherits the registrations but must not remove its parent's file.
    pid_t owner;
    char path[PATH_MAX];
};
static_assert(std::atomic<int>::is_always_lock_free, "the handlers read the slot states");

constexpr int slot_count = 16;
inline slot slots[slot_count];

// The signals whose default action would end the process in the middle of a
// write.
constexpr int guarded_signals[] = {SIGHUP, SIGINT, SIGTERM, SIGXFSZ, SIGABRT};
constexpr int guarded_signal_count = sizeof guarded_signals / sizeof guarded_signals[0];

// Guarded by install_mutex: how many files are registered, and for which
// signals the handler below was installed.
inline std::mutex install_mutex;
inline int registered = 0;
inline bool installed[guarded_signal_count];

// Removes the registered files, restores the signal's default disposition
// and raises it again.
extern "C" void dispsmooth_remove_temp_files_and_reraise(int sig);

}  // namespace temp_file_guard_detail

}  // namespace dispsmooth

#endif
