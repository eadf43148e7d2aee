#include "common/output_file.h"

#include "common/temp_file_guard.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace dispsmooth {

namespace {

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

}  // namespace dispsmooth
