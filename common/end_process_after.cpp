#include "common/codec_failure.h"

#include <cstdio>
#include <cstdlib>

namespace dispsmooth {

void end_process_after(const codec_failure &failure, bool abort_process) {
    (void)std::fputs(failure.message, stderr);
    if (abort_process) std::abort();
    std::exit(1);
}

}  // namespace dispsmooth
