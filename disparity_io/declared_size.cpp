// What a file's size allows its header to declare.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

#include "disparity_io/disparity_io_internal.h"

namespace dispsmooth::disparity_detail {

long long stream_size(std::FILE *fp) {
    struct stat st {};
    if (fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<long long>(st.st_size);
}

bool declared_size_fits(const char *filename, const char *format, long long width, long long height,
                        std::uint64_t declared_bytes, long long file_size, std::uint64_t expansion,
                        codec_failure *failure) {
    if (file_size < 0) return true;
    // Room besides for the small files whose headers and chunks weigh more
    // than their data.
    const std::uint64_t bound = static_cast<std::uint64_t>(file_size) * expansion + (1U << 20);
    if (declared_bytes <= bound) return true;
    set_codec_failure(failure, codec_failure_kind::file,
                      "dispsmooth: cannot read %s image \"%s\": its header declares %lld x %lld "
                      "pixels, more than a file of %lld bytes can hold",
                      format, filename, width, height, file_size);
    return false;
}

}  // namespace dispsmooth::disparity_detail
