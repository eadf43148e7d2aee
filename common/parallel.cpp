#include "common/parallel.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "common/call_settings.h"

namespace dispsmooth {

namespace {

thread_local int parallel_depth = 0;

// Marks the calling thread as running a body for the scope's duration.
class parallel_scope {
public:
    parallel_scope() { ++parallel_depth; }
    ~parallel_scope() { --parallel_depth; }
    parallel_scope(const parallel_scope &) = delete;
    parallel_scope &operator=(const parallel_scope &) = delete;
};

int processors_available() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return count;
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? static_cast<int>(std::min(hardware, 1u << 20)) : 1;
}

// The first value of OMP_NUM_THREADS ("4" or "4,2"), or 0 where it is unset
// or not a whole number of 1 or more.
int environment_thread_count() {
    const char *text = std::getenv("OMP_NUM_THREADS");
    if (text == nullptr) return 0;
    while (*text == ' ' || *text == '\t') ++text;
    if (*text < '0' || *text > '9') return 0;
    errno = 0;
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    while (*end == ' ' || *end == '\t') ++end;
    if (*end != '\0' && *end != ',') return 0;
    if (errno == ERANGE) return thread_count_limit;
    if (value < 1) return 0;
    return static_cast<int>(std::min<long>(value, thread_count_limit));
}

}  // namespace

int default_thread_count() {
    static const int count = [] {
        const int asked = environment_thread_count();
        return std::min(asked > 0 ? asked : processors_available(), thread_count_limit);
    }();
    return count;
}

int run_on_threads(int threads, const std::function<void(int thread)> &body) {
    threads = std::clamp(threads, 1, thread_count_limit);
    std::exception_ptr first_failure;
    std::mutex failure_mutex;
    auto run = [&](int thread) {
        const parallel_scope scope;
        try {
            body(thread);
        } catch (...) {
            const std::lock_guard<std::mutex> lock(failure_mutex);
            if (!first_failure) first_failure = std::current_exception();
        }
    };

    std::vector<std::thread> started;
    try {
        started.reserve(static_cast<std::size_t>(threads - 1));
        for (int thread = 1; thread < threads; ++thread) started.emplace_back(run, thread);
    } catch (const std::system_error &) {
        // No more threads to be had (a process or address-space limit, ...):
        // those started share the work.
    } catch (const std::bad_alloc &) {
    }
    run(0);
    for (std::thread &t : started) t.join();
    if (first_failure) std::rethrow_exception(first_failure);
    return 1 + static_cast<int>(started.size());
}

bool for_each_chunk(int threads, long long count, long long chunk,
                    const std::function<void(int thread, long long begin, long long end)> &body,
                    const std::atomic<bool> *cancel) {
    // Chunks that cannot shrink: every one of chunk items.
    return for_each_shrinking_chunk(threads, count, chunk, chunk, body, cancel);
}

bool for_each_shrinking_chunk(
    int threads, long long count, long long least_chunk, long long most_chunk,
    const std::function<void(int thread, long long begin, long long end)> &body,
    const std::atomic<bool> *cancel) {
    if (count <= 0) return true;
    least_chunk = std::max(1LL, least_chunk);
    most_chunk = std::max(least_chunk, most_chunk);
    threads = static_cast<int>(
        std::min<long long>(std::max(threads, 1), (count + least_chunk - 1) / least_chunk));
    std::atomic<long long> next{0};
    run_on_threads(threads, [&](int thread) {
        while (cancel == nullptr || !cancel->load(std::memory_order_relaxed)) {
            long long begin = next.load(std::memory_order_relaxed), end = 0;
            do {
                if (begin >= count) return;
                const long long size =
                    std::clamp((count - begin) / (2LL * threads), least_chunk, most_chunk);
                end = std::min(count, begin + size);
            } while (!next.compare_exchange_weak(begin, end, std::memory_order_relaxed));
            body(thread, begin, end);
        }
    });
    // Every chunk was handed out, and every body has ended.
    return next.load() >= count;
}

int thread_count_for_call() {
    const int asked = this_thread_settings.threads;
    return asked >= 1 ? std::min(asked, thread_count_limit) : default_thread_count();
}

bool inside_parallel_work() { return parallel_depth > 0; }

}  // namespace dispsmooth
