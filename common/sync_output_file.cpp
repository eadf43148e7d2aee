#include "common/output_file.h"

#include <unistd.h>

namespace dispsmooth {

bool sync_output_file(const output_file *out, int fd) {
    if (out->temp_path == nullptr) return true;
    return fsync(fd) == 0;
}

}  // namespace dispsmooth
