#include "common/output_file.h"

#include "common/temp_file_guard.h"

#include <unistd.h>
#include <cerrno>
#include <cstdlib>

namespace dispsmooth {

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

}  // namespace dispsmooth
