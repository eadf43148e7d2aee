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
#include <new>

namespace dispsmooth {

namespace {

// Removal of the temporary files when the process ends before they are
// renamed over their targets.  guard_temp_file registers a new file (a
// descriptor of its directory and its name there) for removal should the
// process end before unguard_temp_file: by exit(), or by SIGHUP, SIGINT,
// SIGTERM, SIGXFSZ or SIGABRT while their disposition is the default one.
// Those handlers remove every registered file, restore the default
// disposition and raise the signal again, so the process ends as the signal
// would have ended it.  Handlers are installed while at least one file is
// registered.

// A registered name.  The name is copied in while the slot is claimed and
// read by the handlers only once it is armed.
enum slot_state : int { slot_free = 0, slot_claimed = 1, slot_armed = 2 };

}  // namespace

struct temp_file_slot {
    std::atomic<int> state;
    // The process that registered the name: a child forked during the write
    // inherits the registrations but must not remove its parent's file.
    pid_t owner;
    int dir_fd;
    char name[NAME_MAX + 1];
};

namespace {

static_assert(std::atomic<int>::is_always_lock_free, "the handlers read the slot states");
static_assert(std::atomic<void *>::is_always_lock_free, "the handlers follow the block list");

// The slots, in blocks: the first one static, the others allocated as more
// files are written at once than the blocks so far hold, and kept for the
// life of the process.  A block is linked in only once it is initialised,
// so the handlers, which only follow the links, always see whole blocks.
struct slot_block {
    static constexpr int size = 16;
    temp_file_slot slots[size];
    std::atomic<slot_block *> next{nullptr};
};

slot_block first_block;

// The signals whose default action would end the process in the middle of a
// write.
constexpr int guarded_signals[] = {SIGHUP, SIGINT, SIGTERM, SIGXFSZ, SIGABRT};
constexpr int guarded_signal_count = sizeof guarded_signals / sizeof guarded_signals[0];

// Guarded by install_mutex: how many files are registered, for which
// signals the handler below was installed, and the linking of new blocks.
std::mutex install_mutex;
int registered = 0;
bool installed[guarded_signal_count];

// Removes every file this process registered.  Async-signal-safe: only
// lock-free atomic loads, getpid() and unlinkat().
void remove_guarded_temp_files() {
    const pid_t self = getpid();
    for (slot_block *block = &first_block; block != nullptr;
         block = block->next.load(std::memory_order_acquire)) {
        for (temp_file_slot &s : block->slots) {
            if (s.state.load() == slot_armed && s.owner == self) unlinkat(s.dir_fd, s.name, 0);
        }
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

// A free slot, claimed; or, when every slot is taken, the first of a new
// block.  Null only when no block can be allocated.
temp_file_slot *claim_slot() {
    for (;;) {
        slot_block *last = nullptr;
        for (slot_block *block = &first_block; block != nullptr;
             block = block->next.load(std::memory_order_acquire)) {
            for (temp_file_slot &s : block->slots) {
                int expected = slot_free;
                if (s.state.compare_exchange_strong(expected, slot_claimed)) return &s;
            }
            last = block;
        }
        const std::lock_guard<std::mutex> lock(install_mutex);
        // Another thread may have linked a block meanwhile: look again.
        if (last->next.load(std::memory_order_acquire) != nullptr) continue;
        auto *block = new (std::nothrow) slot_block;
        if (block == nullptr) return nullptr;
        block->slots[0].state.store(slot_claimed);
        last->next.store(block, std::memory_order_release);
        return &block->slots[0];
    }
}

// Registers name (at most NAME_MAX bytes) in the directory dir_fd.  Returns
// the slot that holds it, for unguard_temp_file, or null when it could not
// be registered (a name too long, or no memory for more slots).
temp_file_slot *guard_temp_file(int dir_fd, const char *name) {
    const std::size_t length = std::strlen(name);
    if (length >= sizeof first_block.slots[0].name) return nullptr;
    temp_file_slot *s = claim_slot();
    if (s == nullptr) return nullptr;
    std::memcpy(s->name, name, length + 1);
    s->dir_fd = dir_fd;
    s->owner = getpid();
    {
        const std::lock_guard<std::mutex> lock(install_mutex);
        static bool exit_handler_registered = false;
        if (!exit_handler_registered) exit_handler_registered = std::atexit(remove_at_exit) == 0;
        if (registered++ == 0) install_handlers();
    }
    s->state.store(slot_armed);
    return s;
}

// Forgets the name registered in slot and, with the last one, restores the
// default disposition of the signals whose handler was installed for it.
void unguard_temp_file(temp_file_slot *slot) {
    slot->state.store(slot_free);

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

// The last component of filename: where the name has no slash, all of it.
const char *base_name(const char *filename) {
    const char *slash = std::strrchr(filename, '/');
    return slash == nullptr ? filename : slash + 1;
}

// A descriptor of the directory that holds filename, for the *at calls, or
// -1.  Only the directory's part of the name is opened, so a name of any
// length that can be opened at all has a directory that can.
int open_directory_of(const char *filename) {
    const char *base = base_name(filename);
    if (base == filename) return open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    const std::size_t length =
        base - 1 == filename ? 1 : static_cast<std::size_t>(base - 1 - filename);
    char *dir = static_cast<char *>(std::malloc(length + 1));
    if (dir == nullptr) return -1;
    std::memcpy(dir, filename, length);
    dir[length] = '\0';
    const int fd = open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
    std::free(dir);
    return fd;
}

// ".<name>.dispsmooth-" with room for the six letters and the terminating
// NUL, allocated with malloc; a long name is cut so that the whole stays
// within NAME_MAX.  Null when out of memory.
char *temp_name_prefix(const char *base, std::size_t *pprefix_length) {
    const std::size_t name_room = NAME_MAX - 1 - (sizeof temp_infix - 1) - random_letters;
    const std::size_t name_length = std::min(std::strlen(base), name_room);
    const std::size_t prefix_length = 1 + name_length + (sizeof temp_infix - 1);
    char *name = static_cast<char *>(std::malloc(prefix_length + random_letters + 1));
    if (name == nullptr) return nullptr;
    name[0] = '.';
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result): the infix, letters and NUL follow
    std::memcpy(name + 1, base, name_length);
    std::memcpy(name + 1 + name_length, temp_infix, sizeof temp_infix - 1);
    *pprefix_length = prefix_length;
    return name;
}

void write_in_place(const char *filename, output_file *out) {
    out->target = filename;
    out->temp_path = nullptr;
    out->temp_fd = -1;
    out->dir_fd = -1;
    out->guard = nullptr;
}

// The end of a temporary file, renamed or removed: its registration, name
// and directory are given up.
void finish_temp_file(output_file *out) {
    if (out->guard != nullptr) unguard_temp_file(out->guard);
    std::free(out->temp_path);
    close(out->dir_fd);
    out->temp_path = nullptr;
    out->temp_fd = -1;
    out->dir_fd = -1;
    out->guard = nullptr;
}

// Makes the rename itself durable: fsync of the directory that holds the
// target.  Only an improvement; the file is in place whatever it returns.
void sync_directory(int dir_fd) {
    const int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
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

    // A name ending in a slash has no file of its own to put beside it.
    const char *base = base_name(filename);
    if (*base == '\0') return;
    std::size_t prefix_length = 0;
    char *name = temp_name_prefix(base, &prefix_length);
    if (name == nullptr) return;
    // The new file is made relative to the directory, by its short name, so
    // that no target name is too long for the name beside it.
    const int dir_fd = open_directory_of(filename);
    if (dir_fd < 0) {
        std::free(name);
        return;
    }

    // Registered before it exists, so that no moment of the file's life
    // escapes the handlers; a file that cannot be registered is not made,
    // and a name that turns out to be taken is given up.
    for (int attempt = 0; attempt < 100; ++attempt) {
        fill_random_letters(name + prefix_length);
        name[prefix_length + random_letters] = '\0';
        temp_file_slot *guard = guard_temp_file(dir_fd, name);
        if (guard == nullptr) break;
        // A new file gets the permissions that creating the target would
        // have given it (0666 less the umask).
        const int fd = openat(dir_fd, name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            const int open_errno = errno;
            unguard_temp_file(guard);
            if (open_errno == EEXIST) continue;
            break;  // no new file here (permission, read-only file system, ...)
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
            unlinkat(dir_fd, name, 0);
            unguard_temp_file(guard);
            break;
        }
        out->temp_path = name;
        out->temp_fd = fd;
        out->dir_fd = dir_fd;
        out->guard = guard;
        return;
    }
    close(dir_fd);
    std::free(name);
}

bool sync_output_file(const output_file *out, int fd) {
    if (out->temp_path == nullptr) return true;
    return fsync(fd) == 0;
}

bool commit_output_file(output_file *out) {
    if (out->temp_path == nullptr) return true;
    const int dir_fd = out->dir_fd;
    const bool renamed = renameat(dir_fd, out->temp_path, dir_fd, base_name(out->target)) == 0;
    const int rename_errno = errno;
    if (!renamed)
        unlinkat(dir_fd, out->temp_path, 0);
    else
        sync_directory(dir_fd);
    finish_temp_file(out);
    if (!renamed) {
        errno = rename_errno;
        return false;
    }
    return true;
}

void discard_output_file(output_file *out) {
    if (out->temp_path == nullptr) return;
    const int saved_errno = errno;
    unlinkat(out->dir_fd, out->temp_path, 0);
    finish_temp_file(out);
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
