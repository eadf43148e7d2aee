#include "common/progress.h"

#include <cstdio>
#include <string>

namespace dispsmooth {

namespace {

// "under 1 s", "12 s", "3 min 05 s", "2 h 07 min".
std::string duration_text(double seconds) {
    // NOLINTNEXTLINE(bugprone-incorrect-roundings): seconds >= 0: rounds half up, as always
    const long long s = static_cast<long long>(seconds + 0.5);
    char text[64];
    if (s < 1)
        (void)std::snprintf(text, sizeof text, "under 1 s");
    else if (s < 60)
        (void)std::snprintf(text, sizeof text, "%lld s", s);
    else if (s < 3600)
        (void)std::snprintf(text, sizeof text, "%lld min %02lld s", s / 60, s % 60);
    else
        (void)std::snprintf(text, sizeof text, "%lld h %02lld min", s / 3600, s / 60 % 60);
    return text;
}

}  // namespace

void progress_row_done(progress_meter *meter) {
    if (meter == nullptr) return;
    const int done = meter->rows_done.fetch_add(1, std::memory_order_relaxed) + 1;
    if (done % meter->check_every != 0 && done != meter->total_rows) return;
    // Whoever holds the line draws; the other threads just go on.
    if (meter->drawing.test_and_set(std::memory_order_acquire)) return;

    const auto now = progress_meter::clock::now();
    if (now - meter->last_drawn >= progress_interval) {
        const double elapsed = std::chrono::duration<double>(now - meter->started).count();
        const int total = meter->total_rows;
        const double left = elapsed * static_cast<double>(total - done) / done;
        const int percent = static_cast<int>(100LL * done / total);
        char line[128];
        const int n = std::snprintf(line, sizeof line, "\rsmoothing: %3d%% of rows, about %s left ",
                                    percent, duration_text(left).c_str());
        if (n > 0) {
            (void)std::fwrite(line, 1, static_cast<std::size_t>(n), stderr);
            (void)std::fflush(stderr);
        }
        meter->last_drawn = now;
        meter->drawn = true;
    }
    meter->drawing.clear(std::memory_order_release);
}

}  // namespace dispsmooth
