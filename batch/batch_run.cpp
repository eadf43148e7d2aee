#include "batch/batch_run.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "batch/frame_work.h"
#include "dispsmooth/dispsmooth.hpp"

namespace dispsmooth::batch {

namespace {

using clock = std::chrono::steady_clock;

// Set by the signal handlers: a lock-free atomic store is all they do.
std::atomic<bool> stop_requested{false};
std::atomic<int> stop_signal{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

extern "C" void request_stop(int sig) {
    stop_signal.store(sig, std::memory_order_relaxed);
    stop_requested.store(true, std::memory_order_relaxed);
}

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

void install_stop_handlers() {
    // A reader of the JSON lines that goes away (a pipe into head) must not
    // end the process in the middle of a write: the failed write stops the
    // run instead.
    (void)std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int sig : stop_signals) {
        struct sigaction previous {};
        // A signal ignored by the parent (nohup) stays ignored.
        if (sigaction(sig, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        (void)sigaction(sig, &action, nullptr);
    }
}

int processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return static_cast<int>(std::max(1U, std::min(1024U, std::thread::hardware_concurrency())));
}

// JSON string contents: quotes, backslashes and control characters escaped;
// other bytes as they are.
std::string json_escaped(const std::string &text) {
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20) {
            char buf[8];
            (void)std::snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

// The message on one line.
std::string one_line(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    std::string out;
    for (const char c : text) {
        if (c == '\n')
            out += "; ";
        else
            out += c;
    }
    return out;
}

std::string clock_text(double seconds) {
    const long long s = std::llround(seconds);
    char buf[32];
    if (s >= 3600)
        (void)std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else
        (void)std::snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
    return buf;
}

struct frame_outcome {
    enum class status { ok, failed, interrupted } result = status::ok;
    int width = 0;
    int height = 0;
    double seconds = 0;
    std::string message;
};

const char *status_name(frame_outcome::status s) {
    switch (s) {
    case frame_outcome::status::ok:
        return "ok";
    case frame_outcome::status::failed:
        return "failed";
    case frame_outcome::status::interrupted:
        return "interrupted";
    }
    return "?";
}

// What the threads report to: the counts, the JSON lines, the failures on
// standard error and the progress bar, under one lock.
class reporter {
public:
    reporter(const batch_options &options, std::size_t total)
        : json_(options.json),
          total_(total),
          bar_(isatty(STDERR_FILENO) == 1),
          started_(clock::now()) {}

    void report(const frame &f, const frame_outcome &outcome) {
        const std::lock_guard<std::mutex> hold(lock_);
        if (outcome.result == frame_outcome::status::ok) ++done_;
        if (outcome.result == frame_outcome::status::failed) ++failed_;
        if (outcome.result == frame_outcome::status::interrupted) ++interrupted_;
        if (json_) {
            std::string line = "{\"input\":\"" + json_escaped(f.disparity) + "\",\"reference\":\"" +
                               json_escaped(f.reference) + "\",\"output\":\"" +
                               json_escaped(f.output) + "\",";
            if (outcome.width > 0)
                line += "\"width\":" + std::to_string(outcome.width) +
                        ",\"height\":" + std::to_string(outcome.height) + ",";
            else
                line += "\"width\":null,\"height\":null,";
            char seconds[32];
            (void)std::snprintf(seconds, sizeof seconds, "%.3f", outcome.seconds);
            line += "\"seconds\":" + std::string(seconds) + ",\"status\":\"" +
                    status_name(outcome.result) + "\",\"message\":\"" +
                    json_escaped(one_line(outcome.message)) + "\"}\n";
            if (!stdout_failed_ &&
                (std::fputs(line.c_str(), stdout) < 0 || std::fflush(stdout) != 0)) {
                stdout_errno_ = errno;
                stdout_failed_ = true;
                stop_requested.store(true);
            }
        }
        if (outcome.result == frame_outcome::status::failed) {
            erase_bar();
            (void)std::fprintf(stderr, "dispsmooth-batch: %s: %s\n", f.disparity.c_str(),
                               one_line(outcome.message).c_str());
        }
        draw_bar();
    }

    // Redraws the bar (the time left goes on changing between frames).
    void tick() {
        const std::lock_guard<std::mutex> hold(lock_);
        draw_bar();
    }

    void finish() {
        const std::lock_guard<std::mutex> hold(lock_);
        erase_bar();
    }

    std::size_t done() const { return done_; }
    std::size_t failed() const { return failed_; }
    bool drawing() const { return bar_; }
    // The errno of a failed write of the JSON lines, 0 when none failed.
    int stdout_error() const { return stdout_failed_ ? std::max(stdout_errno_, 1) : 0; }

private:
    void erase_bar() {
        if (!bar_ || !drawn_) return;
        (void)std::fputs("\r\033[K", stderr);
        drawn_ = false;
    }

    void draw_bar() {
        if (!bar_) return;
        const std::size_t finished = done_ + failed_ + interrupted_;
        constexpr int width = 30;
        const int filled = total_ == 0 ? width : static_cast<int>(width * finished / total_);
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.append(static_cast<std::size_t>(width - filled), '-');
        const double elapsed = std::chrono::duration<double>(clock::now() - started_).count();
        std::string left = "--:--";
        if (finished > 0)
            left = clock_text(elapsed / static_cast<double>(finished) *
                              static_cast<double>(total_ - finished));
        (void)std::fprintf(stderr, "\r\033[K[%s] %zu/%zu frames, %zu failed, %s left", bar.c_str(),
                           finished, total_, failed_, left.c_str());
        (void)std::fflush(stderr);
        drawn_ = true;
    }

    std::mutex lock_;
    bool json_;
    std::size_t total_;
    bool bar_;
    bool drawn_ = false;
    clock::time_point started_;
    std::size_t done_ = 0;
    std::size_t failed_ = 0;
    std::size_t interrupted_ = 0;
    bool stdout_failed_ = false;
    int stdout_errno_ = 0;
};

}  // namespace

int run_batch(const batch_options &options, const std::vector<frame> &frames) {
    install_stop_handlers();
    const int threads = options.threads > 0 ? options.threads : processors();
    reporter report(options, frames.size());
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed_fast{false};
    // Small frames hold it shared, one a thread; a large one holds it alone
    // and smooths its rows on every thread.
    std::shared_mutex frame_lock;

    const auto work = [&]() {
        while (!stop_requested.load(std::memory_order_relaxed)) {
            const std::size_t i = next.fetch_add(1);
            if (i >= frames.size()) return;
            const frame &f = frames[i];
            const clock::time_point start = clock::now();
            frame_outcome outcome;
            try {
                loaded_frame loaded = load_frame(f, options);
                outcome.width = loaded.width;
                outcome.height = loaded.height;
                const long long pixels = static_cast<long long>(loaded.width) * loaded.height;
                if (threads > 1 && pixels >= large_frame_pixels) {
                    const std::unique_lock<std::shared_mutex> alone(frame_lock);
                    smooth_frame(loaded, options, threads, &stop_requested);
                } else {
                    const std::shared_lock<std::shared_mutex> shared(frame_lock);
                    smooth_frame(loaded, options, 1, &stop_requested);
                }
                // A smoothed frame is written whole, even once a stop is asked
                // for.
                write_frame(loaded, f, options);
            } catch (const cancelled &) {
                outcome.result = frame_outcome::status::interrupted;
                outcome.message =
                    failed_fast.load() ? "stopped after another frame failed" : "interrupted";
            } catch (const std::bad_alloc &e) {
                outcome.result = frame_outcome::status::failed;
                outcome.message = e.what();
            } catch (const std::exception &e) {
                outcome.result = frame_outcome::status::failed;
                outcome.message = e.what();
            }
            outcome.seconds = std::chrono::duration<double>(clock::now() - start).count();
            if (outcome.result == frame_outcome::status::failed && options.fail_fast) {
                failed_fast.store(true);
                stop_requested.store(true);
            }
            report.report(f, outcome);
        }
    };

    const int workers =
        static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(threads), frames.size()));
    std::vector<std::thread> pool;
    std::mutex tick_lock;
    std::condition_variable tick_wake;
    bool all_done = false;
    std::thread ticker;
    if (report.drawing()) {
        ticker = std::thread([&]() {
            std::unique_lock<std::mutex> hold(tick_lock);
            while (
                !tick_wake.wait_for(hold, std::chrono::milliseconds(500), [&] { return all_done; }))
                report.tick();
        });
    }
    for (int t = 1; t < workers; ++t) {
        try {
            pool.emplace_back(work);
        } catch (const std::system_error &) {
            break;  // the frames are shared among the threads there are
        }
    }
    work();
    for (std::thread &t : pool) t.join();
    if (ticker.joinable()) {
        {
            const std::lock_guard<std::mutex> hold(tick_lock);
            all_done = true;
        }
        tick_wake.notify_all();
        ticker.join();
    }
    report.finish();

    if (const int e = report.stdout_error(); e != 0) {
        (void)std::fprintf(stderr,
                           "dispsmooth-batch: cannot write to standard output: %s; stopped with "
                           "%zu of %zu frames written\n",
                           std::strerror(e), report.done(), frames.size());
        return 1;
    }
    const int sig = stop_signal.load();
    if (sig != 0) {
        (void)std::fprintf(stderr, "dispsmooth-batch: interrupted: %zu of %zu frames written\n",
                           report.done(), frames.size());
        (void)std::fflush(nullptr);
        (void)std::signal(sig, SIG_DFL);
        (void)std::raise(sig);
        return 1;
    }
    if (report.failed() > 0) {
        if (failed_fast.load())
            (void)std::fprintf(stderr,
                               "dispsmooth-batch: stopped at the first failure: %zu of %zu frames "
                               "failed, %zu written\n",
                               report.failed(), frames.size(), report.done());
        else
            (void)std::fprintf(stderr, "dispsmooth-batch: %zu of %zu frames failed\n",
                               report.failed(), frames.size());
        return 1;
    }
    return 0;
}

}  // namespace dispsmooth::batch
