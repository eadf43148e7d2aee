#include "common/output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace dispsmooth {

namespace {

// Removal of the temporary files when the process ends before they are
// renamed over their targets.  guard_temp_file registers a path (shorter
// than PATH_MAX) for removal should the process end before
// unguard_temp_file: by exit(), or by SIGHUP, SIGINT, SIGTERM, SIGXFSZ or
// SIGABRT while their disposition is the default one.  Those handlers
// remove every registered file, restore the default disposition and raise
// the signal again, so the process ends as the signal would have ended it.
// Handlers are installed while at least one file is registered.

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
slot slots[slot_count];

// The signals whose default action would end the process in the middle of a
// write.
constexpr int guarded_signals[] = {SIGHUP, SIGINT, SIGTERM, SIGXFSZ, SIGABRT};
constexpr int guarded_signal_count = sizeof guarded_signals / sizeof guarded_signals[0];

// Guarded by install_mutex: how many files are registered, and for which
// signals the handler below was installed.
std::mutex install_mutex;
int registered = 0;
bool installed[guarded_signal_count];

// Removes every file this process registered.  Async-signal-safe: only
// lock-free atomic loads, getpid() and unlink().
void remove_guarded_temp_files() {
    const pid_t self = getpid();
    for (slot &s : slots) {
        if (s.state.load() == slot_armed && s.owner == self) unlink(s.path);
    }
}

// Removes the registered files, restores the signal's default disposition
// and raises it again.
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

// Returns the place that holds the name, for unguard_temp_file, or -1 when
// path could not be registered (too long, or as many files are being
// written at once as there are places to hold their names).
int guard_temp_file(const char *path) {
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

// Forgets the name registered at place (a result of guard_temp_file other
// than -1) and, with the last one, restores the default disposition of the
// signals whose handler was installed for it.
void unguard_temp_file(int place) {
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

// The new file beside the target.

// What the temporary file's name adds to the target's: ".<name>" in front,
// ".dispsmooth-XXXXXX" after.
const char temp_infix[] = ".dispsmooth-";
const int random_letters = 6;

// Six letters or digits, different for every call: from the kernel's random
// source, or, should that fail, from the clock, the process id and a count.
void fill_random_letters(char *letters) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[random_letters];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        static std::atomic<unsigned> counter{0};
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        std::uint64_t x = static_cast<std::uint64_t>(now.tv_nsec) ^
                          (static_cast<std::uint64_t>(getpid()) << 32) ^
                          (++counter * 0x9E3779B97F4A7C15ull);
        for (unsigned char &b : bytes) {
            x ^= x >> 29;
            x *= 0xBF58476D1CE4E5B9ull;
            b = static_cast<unsigned char>(x >> 56);
        }
    }
    for (int k = 0; k < random_letters; ++k)
        letters[k] = alphabet[bytes[k] % (sizeof alphabet - 1)];
}

// "<directory of filename>/.<name>.dispsmooth-" with room for the six
// letters and the terminating NUL, allocated with malloc; a long name is cut
// so that the file name stays within NAME_MAX.  Null when out of memory.
char *temp_path_prefix(const char *filename, std::size_t *pprefix_length) {
    const char *slash = std::strrchr(filename, '/');
    const std::size_t dir_length =
        slash == nullptr ? 0 : static_cast<std::size_t>(slash - filename) + 1;
    const char *name = filename + dir_length;
    const std::size_t name_room = NAME_MAX - 1 - (sizeof temp_infix - 1) - random_letters;
    const std::size_t name_length = std::min(std::strlen(name), name_room);

    const std::size_t prefix_length = dir_length + 1 + name_length + (sizeof temp_infix - 1);
    char *path = static_cast<char *>(std::malloc(prefix_length + random_letters + 1));
    if (path == nullptr) return nullptr;
    std::memcpy(path, filename, dir_length);
    path[dir_length] = '.';
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result): the infix, letters and NUL follow
    std::memcpy(path + dir_length + 1, name, name_length);
    std::memcpy(path + dir_length + 1 + name_length, temp_infix, sizeof temp_infix - 1);
    *pprefix_length = prefix_length;
    return path;
}

void write_in_place(const char *filename, output_file *out) {
    out->target = filename;
    out->temp_path = nullptr;
    out->temp_fd = -1;
    out->guard = -1;
}

// Makes the rename itself durable: fsync of the directory that holds the
// target.  Only an improvement; the file is in place whatever it returns.
void sync_directory_of(const char *filename) {
    const char *slash = std::strrchr(filename, '/');
    int dir_fd;
    if (slash == nullptr) {
        dir_fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } else {
        const std::size_t length =
            slash == filename ? 1 : static_cast<std::size_t>(slash - filename);
        char *dir = static_cast<char *>(std::malloc(length + 1));
        if (dir == nullptr) return;
        std::memcpy(dir, filename, length);
        dir[length] = '\0';
        dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        std::free(dir);
    }
    if (dir_fd < 0) return;
    fsync(dir_fd);
    close(dir_fd);
}

}  // namespace

void begin_output_file(const char *filename, output_file *out) {
    write_in_place(filename, out);

    // Only a regular file of one name, or no file at all, is replaced; every
    // other kind of name is written through as a plain open would.
    struct stat target {};
    bool exists = true;
    if (lstat(filename, &target) != 0) {
        if (errno != ENOENT) return;
        exists = false;
    }
    if (exists) {
        if (!S_ISREG(target.st_mode) || target.st_nlink != 1) return;
        // A file the process may not write keeps being refused by the open
        // that writing in place makes, rather than replaced.
        if (faccessat(AT_FDCWD, filename, W_OK, AT_EACCESS) != 0) return;
    }

    std::size_t prefix_length = 0;
    char *path = temp_path_prefix(filename, &prefix_length);
    if (path == nullptr) return;

    // Registered before it exists, so that no moment of the file's life
    // escapes the handlers; a name that turns out to be taken is given up.
    for (int attempt = 0; attempt < 100; ++attempt) {
        fill_random_letters(path + prefix_length);
        path[prefix_length + random_letters] = '\0';
        const int guard = guard_temp_file(path);
        // A new file gets the permissions that creating the target would
        // have given it (0666 less the umask).
        const int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            const int open_errno = errno;
            if (guard >= 0) unguard_temp_file(guard);
            if (open_errno == EEXIST) continue;
            break;  // no new file here (permission, missing directory, ...)
        }
        // The replacement keeps the target's owner, group and permission
        // bits; where it cannot take them, the target is written in place.
        bool kept = true;
        if (exists) {
            struct stat created {};
            kept = fstat(fd, &created) == 0;
            if (kept && (created.st_uid != target.st_uid || created.st_gid != target.st_gid))
                kept = fchown(fd, target.st_uid, target.st_gid) == 0;
            if (kept) kept = fchmod(fd, target.st_mode & 07777) == 0;
        }
        if (!kept) {
            close(fd);
            unlink(path);
            if (guard >= 0) unguard_temp_file(guard);
            break;
        }
        out->temp_path = path;
        out->temp_fd = fd;
        out->guard = guard;
        return;
    }
    std::free(path);
}

bool sync_output_file(const output_file *out, int fd) {
    if (out->temp_path == nullptr) return true;
    return fsync(fd) == 0;
}

bool commit_output_file(output_file *out) {
    if (out->temp_path == nullptr) return true;
    const bool renamed = rename(out->temp_path, out->target) == 0;
    const int rename_errno = errno;
    if (!renamed) unlink(out->temp_path);
    if (out->guard >= 0) unguard_temp_file(out->guard);
    std::free(out->temp_path);
    out->temp_path = nullptr;
    out->temp_fd = -1;
    out->guard = -1;
    if (!renamed) {
        errno = rename_errno;
        return false;
    }
    sync_directory_of(out->target);
    return true;
}

void discard_output_file(output_file *out) {
    if (out->temp_path == nullptr) return;
    const int saved_errno = errno;
    unlink(out->temp_path);
    if (out->guard >= 0) unguard_temp_file(out->guard);
    std::free(out->temp_path);
    out->temp_path = nullptr;
    out->temp_fd = -1;
    out->guard = -1;
    errno = saved_errno;
}

bool close_output_file(std::FILE *fp, output_file *out) {
    // The last buffered bytes reach the file only here: an error the stream
    // has seen, or a failed flush, sync or close, is a failed write.  The
    // new file reaches the disk before it takes the target's place.
    bool written =
        std::ferror(fp) == 0 && std::fflush(fp) == 0 && sync_output_file(out, fileno(fp));
    int write_errno = errno;
    if (std::fclose(fp) != 0 && written) {
        written = false;
        write_errno = errno;
    }
    if (written && !commit_output_file(out)) {
        written = false;
        write_errno = errno;
    }
    if (!written) discard_output_file(out);
    errno = write_errno;
    return written;
}

}  // namespace dispsmooth
