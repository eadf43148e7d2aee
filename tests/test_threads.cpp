// The threads of a call: started and joined within it, so that a forked
// child smooths as its parent does; done without where they cannot be
// created; bounded whatever is asked; and stopped between rows when the
// caller cancels.
#include "common/call_settings.h"
#include "common/parallel.h"
#include "dispsmooth/dispsmooth.hpp"
#include "dispsmooth/smoothing.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

using ivec = std::vector<int>;
using test_support::random_ints;

struct scene {
    int width, height;
    ivec rgb, disp;
};

scene noise_scene(int width, int height, unsigned seed) {
    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    return {width, height, random_ints(3 * n, 0, 255, seed), random_ints(n, 0, 255, seed + 1)};
}

ivec smoothed(const scene &s, int radius, int threads) {
    ivec d = s.disp;
    dispsmooth::smooth_options options;
    options.threads = threads;
    dispsmooth::smooth(s.width, s.height, s.rgb.data(), d.data(), 0, 255, radius, 9, 20, options);
    return d;
}

// Runs check in a forked child and waits at most seconds for it: true when
// it returned true.  A child that hangs is killed and counts as false.
template <class F>
bool in_child(const F &check, int seconds) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) _exit(check() ? 0 : 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ADD_FAILURE() << "the child did not end within " << seconds << " s";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

// Chunks are handed out in order, each exactly once, whatever the count of
// threads and the chunk size; the bodies know their thread.
TEST(Threads, EveryChunkIsDoneOnceOnSomeThread) {
    struct shape {
        int threads;
        long long count, chunk;
    };
    for (const shape s : {shape{1, 100, 7}, shape{2, 100, 16}, shape{8, 5, 1}, shape{3, 0, 4},
                          shape{2000, 50, 3}, shape{4, 1000, 1000}}) {
        std::vector<std::atomic<int>> done(static_cast<std::size_t>(s.count));
        std::atomic<int> most_thread{0};
        EXPECT_TRUE(dispsmooth::for_each_chunk(
            s.threads, s.count, s.chunk, [&](int thread, long long begin, long long end) {
                EXPECT_TRUE(dispsmooth::inside_parallel_work());
                int seen = most_thread.load();
                while (thread > seen && !most_thread.compare_exchange_weak(seen, thread)) {
                }
                for (long long k = begin; k < end; ++k) ++done[static_cast<std::size_t>(k)];
            }));
        for (const auto &d : done) EXPECT_EQ(d.load(), 1) << s.threads << " " << s.chunk;
        EXPECT_LT(most_thread.load(), dispsmooth::thread_count_limit);
        EXPECT_FALSE(dispsmooth::inside_parallel_work());
    }
}

// Shrinking chunks cover every item once, each chunk within its bounds
// (but the last, which ends at the count), and no larger than the one
// handed out before it; a cancel flag already set hands out nothing.
TEST(Threads, ShrinkingChunksCoverEveryItemOnceWithinTheirBounds) {
    struct shape {
        int threads;
        long long count, least, most;
    };
    for (const shape s :
         {shape{1, 100, 8, 64}, shape{2, 375, 8, 64}, shape{2, 1110, 8, 64}, shape{8, 5, 1, 4},
          shape{3, 0, 4, 8}, shape{4, 1000, 1000, 1000}, shape{2, 50, 0, 0}}) {
        SCOPED_TRACE(::testing::Message() << s.threads << " threads, " << s.count << " items, "
                                          << s.least << " .. " << s.most);
        std::vector<std::atomic<int>> done(static_cast<std::size_t>(s.count));
        std::mutex order;
        std::vector<std::pair<long long, long long>> chunks;
        EXPECT_TRUE(dispsmooth::for_each_shrinking_chunk(
            s.threads, s.count, s.least, s.most, [&](int, long long begin, long long end) {
                for (long long k = begin; k < end; ++k) ++done[static_cast<std::size_t>(k)];
                const std::lock_guard<std::mutex> lock(order);
                chunks.emplace_back(begin, end);
            }));
        for (const auto &d : done) EXPECT_EQ(d.load(), 1);
        std::sort(chunks.begin(), chunks.end());
        const long long least = std::max(1LL, s.least), most = std::max(least, s.most);
        for (std::size_t c = 0; c < chunks.size(); ++c) {
            const long long size = chunks[c].second - chunks[c].first;
            EXPECT_LE(size, most);
            if (chunks[c].second < s.count) {
                EXPECT_GE(size, least);
            }
            if (c > 0) {
                EXPECT_LE(size, chunks[c - 1].second - chunks[c - 1].first);
            }
        }
    }
    const std::atomic<bool> cancelled{true};
    int bodies = 0;
    EXPECT_FALSE(dispsmooth::for_each_shrinking_chunk(
        2, 100, 8, 64, [&](int, long long, long long) { ++bodies; }, &cancelled));
    EXPECT_EQ(bodies, 0);
}

// The default count comes from OMP_NUM_THREADS where it is a whole number of
// 1 or more, bounded; otherwise the processors.  Each value is read in a
// fresh process, since the count is read once.
TEST(Threads, TheDefaultCountIsBounded) {
    struct row {
        const char *value;
        int expected;  // 0: the processors
    };
    for (const row r :
         {row{"3", 3}, row{"2,1", 2}, row{"100000", 1024}, row{"99999999999999999999", 1024},
          row{"0", 0}, row{"-4", 0}, row{"lots", 0}, row{"", 0}}) {
        EXPECT_TRUE(in_child(
            [&] {
                setenv("OMP_NUM_THREADS", r.value, 1);
                const int count = dispsmooth::default_thread_count();
                if (r.expected > 0) return count == r.expected;
                return count >= 1 && count <= dispsmooth::thread_count_limit;
            },
            30))
            << "OMP_NUM_THREADS=\"" << r.value << "\"";
    }
}

// A child forked after the parent has smoothed with two threads smooths
// with threads of its own, to the same result, and ends.
TEST(Threads, AForkedChildSmoothsAsItsParent) {
    const scene s = noise_scene(400, 300, 3);
    const ivec parent = smoothed(s, 5, 2);
    for (const int threads : {1, 2, 4}) {
        EXPECT_TRUE(in_child([&] { return smoothed(s, 5, threads) == parent; }, 60)) << threads;
    }
}

// Under an address-space limit that leaves room for a few thread stacks at
// most, 256 threads are asked for: those that could be started do the
// work, to the same result, and the process goes on.
TEST(Threads, ThreadsThatCannotBeCreatedAreDoneWithout) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer maps more than an address-space limit allows";
#endif
    const scene s = noise_scene(600, 500, 5);
    const ivec expected = smoothed(s, 4, 1);
    EXPECT_TRUE(in_child(
        [&] {
            // What is mapped now, and some 64 MiB more: room for a few 8 MiB
            // stacks, not for 255.
            std::FILE *status = std::fopen("/proc/self/status", "r");
            if (status == nullptr) return false;
            char line[256];
            long long vm_kb = 0;
            while (std::fgets(line, sizeof line, status) != nullptr)
                if (std::sscanf(line, "VmSize: %lld kB", &vm_kb) == 1) break;
            std::fclose(status);
            if (vm_kb <= 0) return false;
            const rlimit limit{static_cast<rlim_t>((vm_kb + 64 * 1024) * 1024),
                               static_cast<rlim_t>((vm_kb + 64 * 1024) * 1024)};
            if (setrlimit(RLIMIT_AS, &limit) != 0) return false;
            const int ran = dispsmooth::run_on_threads(256, [](int) {});
            if (ran < 1 || ran >= 256) return false;
            return smoothed(s, 4, 256) == expected;
        },
        120));
}

// A cancel flag set while the smoothing runs stops it between rows: the
// call throws dispsmooth::cancelled soon after, and the map is as it was.
// Set before the call, nothing is smoothed at all.
TEST(Threads, ACancelledSmoothingThrowsAndLeavesTheMap) {
    const scene s = noise_scene(1200, 900, 7);
    for (const int threads : {1, 2}) {
        for (const int delay_ms : {0, 150}) {
            std::atomic<bool> stop{delay_ms == 0};
            dispsmooth::smooth_options options;
            options.threads = threads;
            options.cancel = &stop;
            ivec d = s.disp;
            std::chrono::steady_clock::time_point set_at = std::chrono::steady_clock::now();
            std::thread canceller([&] {
                if (delay_ms == 0) return;
                std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
                set_at = std::chrono::steady_clock::now();
                stop.store(true);
            });
            // Radius 30 on 1200 x 900 takes many seconds.
            EXPECT_THROW(dispsmooth::smooth(s.width, s.height, s.rgb.data(), d.data(), 0, 255, 30,
                                            9, 20, options),
                         dispsmooth::cancelled);
            const auto returned = std::chrono::steady_clock::now();
            canceller.join();
            EXPECT_EQ(d, s.disp) << threads << " threads, " << delay_ms << " ms";
            // Generous for a loaded machine and the sanitizers; the rows take
            // milliseconds each.
            EXPECT_LT(std::chrono::duration<double>(returned - set_at).count(), 5.0);
        }
    }
    // A flag that is never set changes nothing.
    std::atomic<bool> never{false};
    dispsmooth::smooth_options options;
    options.cancel = &never;
    const scene small = noise_scene(60, 40, 9);
    ivec d = small.disp;
    dispsmooth::smooth(small.width, small.height, small.rgb.data(), d.data(), 0, 255, 3, 9, 20,
                       options);
    EXPECT_EQ(d, smoothed(small, 3, 0));
}
