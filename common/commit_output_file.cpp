#include "common/output_file.h"

#include "common/temp_file_guard.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace dispsmooth {

namespace {

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

}  // namespace dispsmooth
