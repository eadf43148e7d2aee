#include "smoothing/progress.h"

#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <new>
#include <string>

#include "common/call_settings.h"

namespace dispsmooth {

namespace {

// True while some meter owns the terminal line.
std::atomic<bool> progress_line_taken{false};

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

progress_meter *progress_start(int total_rows) {
    if (total_rows <= 0 || !this_thread_settings.progress_allowed || isatty(STDERR_FILENO) != 1)
        return nullptr;
    // One line on the terminal: a second smoothing running at the same time
    // stays silent instead of drawing over the first.
    bool expected = false;
    if (!progress_line_taken.compare_exchange_strong(expected, true)) return nullptr;

    auto *meter = new (std::nothrow) progress_meter;
    if (meter == nullptr) {
        // No indicator is no failure: the smoothing goes on without it.
        progress_line_taken.store(false);
        return nullptr;
    }
    meter->total_rows = total_rows;
    // About 256 looks at the clock over the whole run, at least one per row.
    meter->check_every = std::max(1, total_rows / 256);
    meter->started = progress_meter::clock::now();
    meter->last_drawn = meter->started;
    return meter;
}

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

void progress_finish(progress_meter *meter) {
    if (meter == nullptr) return;
    // Back to the start of the line and clear it, so that what follows is
    // written as if the indicator had never been there.
    if (meter->drawn) {
        (void)std::fputs("\r\x1b[K", stderr);
        (void)std::fflush(stderr);
    }
    delete meter;
    progress_line_taken.store(false);
}

}  // namespace dispsmooth
