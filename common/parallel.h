// Work shared among threads started for one call and joined before it
// returns.  No thread outlives the call that started it, so a process forked
// at any time (os.fork, multiprocessing) starts with no half-inherited pool,
// and a thread that cannot be created is done without: the call goes on
// with those that could, the calling thread at least.
#ifndef DISPSMOOTH_COMMON_PARALLEL_H
#define DISPSMOOTH_COMMON_PARALLEL_H

#include <atomic>
#include <functional>

namespace dispsmooth {

// The most threads one call uses; a larger count, asked for or from the
// environment, is taken as this one.
constexpr int thread_count_limit = 1024;

// The count of threads a call uses when nothing else is said: the first
// value of OMP_NUM_THREADS when it is a whole number of 1 or more (read
// once), else the number of processors this process may run on; at most
// thread_count_limit.
int default_thread_count();

// The count for a call made on this thread now: the thread's setting
// (call_settings.h) where it is 1 or more, else default_thread_count(); at
// most thread_count_limit.
int thread_count_for_call();

// Runs body(thread) once on each of up to threads threads, thread 0 being
// the calling one, and waits for all of them.  Returns how many ran.  An
// exception thrown by a body is rethrown here once every body has ended.
int run_on_threads(int threads, const std::function<void(int thread)> &body);

// Runs body(thread, begin, end) over [0, count) in chunks of chunk items,
// handed out in increasing order to up to threads threads (as each becomes
// free).  Once *cancel (if given) is true, no further chunk is handed out.
// Returns false when a chunk was left undone because of *cancel.
bool for_each_chunk(int threads, long long count, long long chunk,
                    const std::function<void(int thread, long long begin, long long end)> &body,
                    const std::atomic<bool> *cancel = nullptr);

// As for_each_chunk, but each chunk handed out holds the items left over
// 2 threads, at least least_chunk and at most most_chunk of them: large
// chunks first, small ones at the end, so that the threads end close
// together even where items cost unequal time.
bool for_each_shrinking_chunk(
    int threads, long long count, long long least_chunk, long long most_chunk,
    const std::function<void(int thread, long long begin, long long end)> &body,
    const std::atomic<bool> *cancel = nullptr);

// True while the calling thread runs a body of run_on_threads.
bool inside_parallel_work();

}  // namespace dispsmooth

#endif
