#include <cerrno>
#include <cstdio>

#include "common/output_file.h"

namespace dispsmooth {

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
