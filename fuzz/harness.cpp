#include "fuzz/harness.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// The coverage counters of the instrumented code (libFuzzer's inline 8-bit
// counters).  Present only in the clang fuzz build; null in the replay
// build, where nothing is copied.
extern "C" {
extern std::uint8_t __start___sancov_cntrs[] __attribute__((weak, visibility("hidden")));
extern std::uint8_t __stop___sancov_cntrs[] __attribute__((weak, visibility("hidden")));
// LeakSanitizer's on-demand check: linked in when the build has the
// sanitizers (ASan includes it), null otherwise.
int __lsan_do_recoverable_leak_check() __attribute__((weak));
}

namespace fuzz_harness {

namespace {

// Seconds a child may take for one input before it counts as a hang.
const unsigned child_time_limit = 20;

// Child exit status for "the reader returned but left memory behind".
const int leak_status = 87;

// Coverage of a child would die with it: the child copies its counters
// into this block, shared with the parent, whichever way it ends, and the
// parent copies them back into its own, so libFuzzer sees the child's
// coverage as if the input had run in-process.
struct shared_coverage {
    volatile int filled;
    std::uint8_t counters[1];
};
shared_coverage *coverage = nullptr;
std::size_t counter_bytes = 0;

void save_child_coverage() {
    if (coverage == nullptr) return;
    std::memcpy(coverage->counters, __start___sancov_cntrs, counter_bytes);
    coverage->filled = 1;
}

void setup_shared_coverage() {
    static bool done = false;
    if (done) return;
    done = true;
    if (__start___sancov_cntrs == nullptr || __stop___sancov_cntrs == nullptr) return;
    counter_bytes = static_cast<std::size_t>(__stop___sancov_cntrs - __start___sancov_cntrs);
    void *block = mmap(nullptr, sizeof(shared_coverage) + counter_bytes, PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (block != MAP_FAILED) coverage = static_cast<shared_coverage *>(block);
}

// In the child: a deliberate exit() keeps its status but skips every other
// exit handler (the leak check at exit among them: failure paths may leave
// memory to the process end, and libFuzzer would take the exit for a
// finding).
void on_child_exit(int status, void *) {
    save_child_coverage();
    _exit(status);
}

// In the child: abort() goes on to end the process with SIGABRT once this
// returns.
void on_child_abort(int) { save_child_coverage(); }

std::string read_whole_file(const std::string &path) {
    std::string text;
    std::FILE *fp = std::fopen(path.c_str(), "rb");
    if (fp == nullptr) return text;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) text.append(buf, n);
    std::fclose(fp);
    return text;
}

void write_whole_file(const std::string &path, const std::uint8_t *data, std::size_t size) {
    std::FILE *fp = std::fopen(path.c_str(), "wb");
    if (fp == nullptr || (size > 0 && std::fwrite(data, 1, size, fp) != size) ||
        std::fclose(fp) != 0) {
        std::fprintf(stderr, "fuzz harness: cannot write \"%s\": %s\n", path.c_str(),
                     std::strerror(errno));
        std::abort();
    }
}

bool contains(const std::string &text, const char *what) {
    return text.find(what) != std::string::npos;
}

[[noreturn]] void finding(const char *what, const std::string &child_err) {
    std::fprintf(stderr, "%s\n---- child's standard error ----\n%s---- end ----\n", what,
                 child_err.c_str());
    std::fflush(stderr);
    __builtin_trap();
}

std::string scratch;

void remove_scratch() {
    if (scratch.empty()) return;
    for (const char *name : {"stderr.txt", "input.tif", "input.png", "input.jpg", "input.txt"})
        unlink((scratch + "/" + name).c_str());
    rmdir(scratch.c_str());
}

}  // namespace

const char *scratch_dir() {
    if (scratch.empty()) {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/dispsmooth-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("fuzz harness: mkdtemp");
            std::abort();
        }
        scratch = pattern;
        std::atexit(remove_scratch);
    }
    return scratch.c_str();
}

void check_samples(const int *arr, long long count) {
    for (long long i = 0; i < count; ++i) {
        if (arr[i] < 0 || arr[i] > 255) {
            std::fprintf(stderr, "fuzz harness: decoded sample %lld is %d, outside 0..255\n", i,
                         arr[i]);
            std::fflush(stderr);
            _exit(88);
        }
    }
}

void check_and_free(int *arr, long long count) {
    check_samples(arr, count);
    std::free(arr);
}

void run_reader_in_child(const std::uint8_t *data, std::size_t size, const char *extension,
                         reader_run reader, refusal expected) {
    setup_shared_coverage();
    const std::string dir = scratch_dir();
    const std::string input = dir + "/input." + extension;
    const std::string err_path = dir + "/stderr.txt";
    write_whole_file(input, data, size);
    if (coverage != nullptr) coverage->filled = 0;

    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fuzz harness: fork");
        std::abort();
    }
    if (pid == 0) {
        const int out = open("/dev/null", O_WRONLY);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0) _exit(127);
        dup2(out, 1);
        dup2(err, 2);
        close(out);
        close(err);
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_child_abort;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGABRT, &sa, nullptr);
        signal(SIGALRM, SIG_DFL);
        on_exit(on_child_exit, nullptr);
        alarm(child_time_limit);

        reader(input.c_str());

        int status = 0;
        // Everything the reader allocated has been released by now.
        if (__lsan_do_recoverable_leak_check != nullptr && __lsan_do_recoverable_leak_check() != 0)
            status = leak_status;
        save_child_coverage();
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(status);
    }

    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            std::perror("fuzz harness: waitpid");
            std::abort();
        }
    }
    if (coverage != nullptr && coverage->filled)
        std::memcpy(__start___sancov_cntrs, coverage->counters, counter_bytes);

    const std::string err = read_whole_file(err_path);
    if (contains(err, "Sanitizer") || contains(err, "runtime error") ||
        contains(err, "out-of-memory") || contains(err, "libFuzzer"))
        finding("fuzz harness: sanitizer report in the child", err);
    if (WIFEXITED(status)) {
        const int code = WEXITSTATUS(status);
        if (code == 0) return;
        if (code == 1 && expected == refusal::exit_status_1) {
            if (err.empty()) finding("fuzz harness: exit status 1 without a message", err);
            return;
        }
        if (code == leak_status) finding("fuzz harness: memory left behind after a decode", err);
        std::fprintf(stderr, "fuzz harness: child exited with status %d\n", code);
        finding("fuzz harness: unexpected exit status", err);
    }
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        if (sig == SIGABRT && expected == refusal::abort_after_message) {
            if (err.empty()) finding("fuzz harness: abort() without a message", err);
            return;
        }
        if (sig == SIGALRM) finding("fuzz harness: the reader hung (time limit reached)", err);
        std::fprintf(stderr, "fuzz harness: child killed by signal %d (%s)\n", sig, strsignal(sig));
        finding("fuzz harness: unexpected signal", err);
    }
    finding("fuzz harness: child ended in an unknown way", err);
}

}  // namespace fuzz_harness
