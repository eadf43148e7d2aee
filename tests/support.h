// Helpers shared by the tests: temporary directories, running the real
// executable, and locating the shared test images.
#ifndef DISPSMOOTH_TESTS_SUPPORT_H
#define DISPSMOOTH_TESTS_SUPPORT_H

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace test_support {

namespace fs = std::filesystem;

// Runs body in a forked child whose address space may grow by about
// extra_bytes beyond what it has mapped (RLIMIT_AS), and returns the exit
// status body returned; 2 when the limit cannot be set, -1 when the child
// did not exit.
int exit_status_under_address_limit(long long extra_bytes, const std::function<int()> &body);

// n ints drawn uniformly from lo..hi, the same for the same seed.
std::vector<int> random_ints(std::size_t n, int lo, int hi, unsigned seed);

// A fresh directory under the system's temporary directory, removed with its
// contents when the object goes out of scope.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const fs::path &path() const { return path_; }
    fs::path operator/(const std::string &name) const { return path_ / name; }

private:
    fs::path path_;
};

// Outcome of one child process.
struct run_result {
    bool exited = false;   // ended through exit() or return from main
    int exit_status = -1;  // valid when exited
    int term_signal = 0;   // the signal that ended it, when !exited
    std::string out;       // everything written to standard output
    std::string err;       // everything written to standard error
};

// Runs the dispsmooth executable in dir with the given arguments, no
// standard input, and waits for it (killed after timeout_seconds).  A
// file_size_limit other than 0 caps every file the run writes at that many
// bytes, with SIGXFSZ ignored, so a write past it fails with EFBIG instead of
// killing the process -- unless ignore_sigxfsz is false, when SIGXFSZ keeps
// its default action and ends the process at the write that passes the cap.
run_result run_tool(const fs::path &dir, const std::vector<std::string> &args = {},
                    int timeout_seconds = 120, unsigned long long file_size_limit = 0,
                    bool ignore_sigxfsz = true);

// Waits for the child pid, whose standard output and error went to the
// files "stdout" and "stderr" of capture (standard output only where that
// file exists), and returns how it ended and what it wrote.
run_result wait_for_tool(int pid, const fs::path &capture);

// A run of the dispsmooth executable in dir, started in the background as
// run_tool would start it; killed with SIGKILL if not waited for.
class background_run {
public:
    explicit background_run(const fs::path &dir, int timeout_seconds = 120);
    ~background_run();
    background_run(const background_run &) = delete;
    background_run &operator=(const background_run &) = delete;
    int pid() const { return pid_; }
    // Waits for the end of the run.
    run_result wait();

private:
    temp_dir capture_;
    int pid_;
};

// Writes text to dir/"kelv_input.txt".
void write_parameter_file(const fs::path &dir, const std::string &text);

// The shared test-image folder (../shared/testdata beside the repository),
// or an empty path when it is absent.
fs::path testdata_dir();

// Every regular file below testdata_dir()/sub, sorted; empty when absent.
std::vector<fs::path> testdata_files(const std::string &sub);

std::string read_file(const fs::path &path);
void write_file(const fs::path &path, const std::string &bytes);

}  // namespace test_support

// Skips the current test with a clear message when the shared test images
// are not there.
#define REQUIRE_TESTDATA()                                                              \
    do {                                                                                \
        if (test_support::testdata_dir().empty())                                       \
            GTEST_SKIP() << "shared test images not found at " DISPSMOOTH_TESTDATA_DIR; \
    } while (0)

#endif
