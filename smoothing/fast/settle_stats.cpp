#include "smoothing/fast/settle_stats.h"

#include <atomic>

namespace {
std::atomic<long long> last_pixels{0}, last_settled{0}, last_first_pass{0};
}

dispsmooth::settle_stats dispsmooth::last_settle_stats() {
    return {last_pixels.load(), last_settled.load(), last_first_pass.load()};
}

void dispsmooth::record_settle_stats(settle_stats counts) {
    last_pixels.store(counts.pixels);
    last_settled.store(counts.settled);
    last_first_pass.store(counts.first_pass);
}
