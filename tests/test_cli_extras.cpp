// The command line's extras: --help, --version, and the progress indicator
// that appears on a terminal and nowhere else.
#include "dispsmooth/png_codec.h"
#include "dispsmooth/version.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test_support::run_result;
using test_support::run_tool;
using test_support::temp_dir;

// A reference image of two colour regions and a disparity map with a
// disparity of its own in each, plus 10 % wrong values, as PNG files.
void write_scene(const fs::path &dir, int width, int height) {
    std::mt19937 rng(7);
    std::vector<int> rgb(static_cast<std::size_t>(width) * height * 3);
    std::vector<int> disp(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::size_t p = static_cast<std::size_t>(y) * width + x;
            const bool left = x < width / 2;
            for (int c = 0; c < 3; ++c)
                rgb[3 * p + c] = (left ? 60 : 190) + static_cast<int>(rng() % 11);
            disp[p] = rng() % 10 == 0 ? static_cast<int>(rng() % 256) : (left ? 40 : 90);
        }
    }
    write_rgb_image_arr_into_png((dir / "ref.png").c_str(), width, height, rgb.data());
    write_image_arr_into_png((dir / "disp.png").c_str(), width, height, disp.data());
}

const char *const expected_run_output =
    "reference image = ref.png\n"
    "disparity map = disp.png\n"
    "radius = %d\n"
    "sigma_space = 9\n"
    "sigma_color = 20\n"
    "smoothed disparity map = out.png\n"
    "Smoothing the disparities ...\n"
    "Smoothing the disparities ... done.\n";

std::string run_output(int radius) {
    char text[512];
    std::snprintf(text, sizeof text, expected_run_output, radius);
    return text;
}

void write_parameters(const fs::path &dir, int radius) {
    test_support::write_parameter_file(
        dir, "ref.png disp.png " + std::to_string(radius) + " 9 20 out.png\n");
}

const char *const smoothing_announced = "Smoothing the disparities ...\r\n";
const char *const progress_shown = "% of rows, about ";

// Runs the tool in dir with a pseudo-terminal as its standard input, output
// and error; returns everything the terminal received.
//
// The indicator keeps quiet for the first 200 ms of the smoothing, and an
// optimised build may smooth even a large scene in less.  So from the moment
// the smoothing is announced until the indicator shows, the child is stopped
// for 300 ms each time it has run a while without showing it: 20 ms, then
// twice as long before each further pause, so that a slow build, which takes
// long before its smoothing starts, is not held up over and over.  The
// smoothing's clock goes on during a pause, so the first rows done after it
// find the quiet time over, just as on a slow machine.
std::string run_on_terminal(const fs::path &dir, int *pstatus) {
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) return "forkpty failed";
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(127);
        alarm(600);
        char *argv[] = {const_cast<char *>(DISPSMOOTH_EXE), nullptr};
        execv(argv[0], argv);
        _exit(127);
    }
    std::string seen;
    char buffer[4096];
    int run_ms = 20;
    for (;;) {
        const bool waiting_for_progress = seen.find(smoothing_announced) != std::string::npos &&
                                          seen.find(progress_shown) == std::string::npos;
        if (waiting_for_progress) {
            pollfd master_ready = {master, POLLIN, 0};
            const int ready = poll(&master_ready, 1, run_ms);
            if (ready < 0 && errno == EINTR) continue;
            if (ready == 0) {
                kill(pid, SIGSTOP);
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                kill(pid, SIGCONT);
                run_ms *= 2;
                continue;
            }
        }
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0) {
            seen.append(buffer, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // EIO once the child has closed its side
        }
    }
    close(master);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    *pstatus = status;
    return seen;
}

TEST(CliExtras, HelpAndVersionAreTheOnlyArgumentsRecognised) {
    temp_dir dir;  // no parameter file: a real run would fail

    const run_result help = run_tool(dir.path(), {"--help"});
    EXPECT_TRUE(help.exited);
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind("Usage: dispsmooth", 0), 0u) << help.out;
    std::size_t at = 0;
    for (const char *word :
         {"\"kelv_input.txt\"", "reference image", "disparity map", "radius", "sigma_space",
          "sigma_color", "smoothed disparity map", "TIF", "PNG", "JPG", "man dispsmooth"}) {
        const std::size_t found = help.out.find(word, at);
        EXPECT_NE(found, std::string::npos) << word << " missing or out of order";
        if (found != std::string::npos) at = found;
    }

    const run_result version = run_tool(dir.path(), {"--version"});
    EXPECT_TRUE(version.exited);
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.err, "");
    EXPECT_EQ(version.out.rfind(std::string("dispsmooth ") + DISPSMOOTH_VERSION + "\n", 0), 0u)
        << version.out;
    for (const char *library : {"\nlibtiff 4.", "\nlibpng 1.6.", "\nlibjpeg"})
        EXPECT_NE(version.out.find(library), std::string::npos) << library;

    // Anything else, or the two with more, is ignored: a normal run that here
    // finds no parameter file.
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--help", "--version"}, {"--version", "x"}, {"-h"}, {"--HELP"}, {"help"}, {""}}) {
        const run_result r = run_tool(dir.path(), args);
        EXPECT_TRUE(r.exited) << args[0];
        EXPECT_EQ(r.exit_status, 1) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
        EXPECT_NE(r.err.find("kelv_input.txt"), std::string::npos) << args[0] << ": " << r.err;
    }
}

TEST(CliExtras, NoProgressWhenStandardErrorIsAFile) {
    temp_dir dir;
    write_scene(dir.path(), 400, 300);
    write_parameters(dir.path(), 12);
    const run_result r = run_tool(dir.path());
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, run_output(12));
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fs::exists(dir / "out.png"));
}

// Whatever OMP_NUM_THREADS asks for, the run uses a bounded count of
// threads (those that can be created) and writes the same map.
TEST(CliExtras, AnyThreadCountInTheEnvironmentGivesTheSameMap) {
    temp_dir dir;
    write_scene(dir.path(), 700, 500);
    write_parameters(dir.path(), 6);
    std::string expected;
    for (const char *threads : {"1", "2", "100000", "0", "many"}) {
        setenv("OMP_NUM_THREADS", threads, 1);
        const run_result r = run_tool(dir.path());
        unsetenv("OMP_NUM_THREADS");
        EXPECT_TRUE(r.exited) << threads << ": signal " << r.term_signal;
        EXPECT_EQ(r.exit_status, 0) << threads;
        EXPECT_EQ(r.err, "") << threads;
        const std::string map = test_support::read_file(dir / "out.png");
        if (expected.empty()) expected = map;
        EXPECT_EQ(map, expected) << threads;
    }
}

TEST(CliExtras, ProgressOnATerminalIsShownAndErased) {
    temp_dir dir;
    // Seconds of smoothing in a sanitizer build, where the indicator is
    // redrawn many times on its own, and a tenth of a second or more in a
    // fast optimised one, where the pauses of run_on_terminal bring it out.
    write_scene(dir.path(), 600, 450);
    write_parameters(dir.path(), 13);
    int status = 0;
    const std::string seen = run_on_terminal(dir.path(), &status);
    ASSERT_TRUE(WIFEXITED(status)) << seen;
    EXPECT_EQ(WEXITSTATUS(status), 0) << seen;

    // The terminal turns "\n" into "\r\n".
    const std::size_t started = seen.find(smoothing_announced);
    const std::size_t percent = seen.find(progress_shown);
    const std::size_t erased = seen.rfind("\r\x1b[K");
    const std::size_t done = seen.find("Smoothing the disparities ... done.\r\n");
    ASSERT_NE(started, std::string::npos) << seen;
    ASSERT_NE(percent, std::string::npos) << seen;
    ASSERT_NE(erased, std::string::npos) << seen;
    ASSERT_NE(done, std::string::npos) << seen;
    EXPECT_LT(started, percent);
    EXPECT_LT(percent, erased);
    // The line is clean again before the next message.
    EXPECT_EQ(erased + 4, done) << seen.substr(erased);
    EXPECT_TRUE(fs::exists(dir / "out.png"));
}

}  // namespace
