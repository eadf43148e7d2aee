// Writes of the result that fail -- half way through, on a full device, or
// because the output cannot be created at all -- never end with status 0:
// the TIFF writer reports and exits with status 1, removing its incomplete
// file; the PNG writer aborts; the JPEG writer exits with status 1.
#include "dispsmooth/tiff_codec.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test_support::run_result;
using test_support::temp_dir;

// Like test_support::run_tool, with the size of any file the run writes
// limited to file_size_limit bytes (0: no limit) and SIGXFSZ ignored, so a
// write past the limit fails with EFBIG instead of killing the process.
run_result run_tool_limited(const fs::path &dir, rlim_t file_size_limit) {
    temp_dir capture;
    const fs::path out_path = capture / "stdout";
    const fs::path err_path = capture / "stderr";
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || chdir(dir.c_str()) != 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (file_size_limit != 0) {
            signal(SIGXFSZ, SIG_IGN);
            const struct rlimit limit = {file_size_limit, file_size_limit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
        }
        alarm(120);
        execl(DISPSMOOTH_EXE, DISPSMOOTH_EXE, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run_result result;
    result.exited = WIFEXITED(status);
    if (result.exited) result.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
    result.out = test_support::read_file(out_path);
    result.err = test_support::read_file(err_path);
    return result;
}

// A 160 x 160 scene of noise, so that every output format takes well over
// the 4 KiB size limit below.
void write_inputs(const fs::path &dir) {
    const int w = 160, h = 160;
    std::mt19937 rng(5);
    std::vector<int> rgb(w * h * 3), disp(w * h);
    for (int &v : rgb) v = static_cast<int>(rng() % 256);
    for (int &v : disp) v = static_cast<int>(rng() % 256);
    write_rgb_image_arr_into_tiff((dir / "ref.tif").c_str(), w, h, rgb.data());
    write_image_arr_into_tiff((dir / "disp.tif").c_str(), w, h, disp.data());
}

// The end each writer's failure must have.
void expect_failed_write(const run_result &r, const std::string &ext) {
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos);
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos);
    EXPECT_FALSE(r.err.empty());
    // Everything up to the write was done.
    EXPECT_NE(r.out.find("Smoothing the disparities ... done."), std::string::npos);
    if (ext == "png") {
        EXPECT_FALSE(r.exited);
        EXPECT_EQ(r.term_signal, SIGABRT);
    } else {
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.exit_status, 1);
    }
}

const char *const formats[] = {"tif", "png", "jpg"};

// Each output stops growing at 4 KiB: the write fails half way.
TEST(WriteFaults, AWriteThatFailsHalfWayIsAFailure) {
    for (const std::string ext : formats) {
        SCOPED_TRACE("output ." + ext);
        temp_dir dir;
        write_inputs(dir.path());
        test_support::write_parameter_file(dir.path(), "ref.tif disp.tif 1 3 10 out." + ext + "\n");
        const run_result r = run_tool_limited(dir.path(), 4096);
        SCOPED_TRACE(r.err);
        expect_failed_write(r, ext);
        // The TIFF writer removes what it could not finish.
        if (ext == "tif") {
            EXPECT_FALSE(fs::exists(dir / "out.tif"));
        }
    }
}

// The output is the full device: every write fails with ENOSPC, whether at
// once or when the last buffer is flushed.  The device itself is left alone.
TEST(WriteFaults, AFullDeviceIsAFailure) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    for (const std::string ext : formats) {
        SCOPED_TRACE("output ." + ext);
        temp_dir dir;
        write_inputs(dir.path());
        fs::create_symlink("/dev/full", dir / ("out." + ext));
        test_support::write_parameter_file(dir.path(), "ref.tif disp.tif 1 3 10 out." + ext + "\n");
        const run_result r = run_tool_limited(dir.path(), 0);
        SCOPED_TRACE(r.err);
        expect_failed_write(r, ext);
        EXPECT_TRUE(fs::is_character_file("/dev/full"));
    }
}

// Outputs that cannot be created at all, even by root: in a directory that
// does not exist, below a regular file, or where a directory stands.
TEST(WriteFaults, AnOutputThatCannotBeCreatedIsAFailure) {
    for (const std::string ext : formats) {
        for (const std::string name : {"missing/out.", "plain/out.", "taken."}) {
            SCOPED_TRACE(name + ext);
            temp_dir dir;
            write_inputs(dir.path());
            test_support::write_file(dir / "plain", "not a directory");
            fs::create_directory(dir / ("taken." + ext));
            test_support::write_parameter_file(dir.path(),
                                               "ref.tif disp.tif 1 3 10 " + name + ext + "\n");
            const run_result r = run_tool_limited(dir.path(), 0);
            SCOPED_TRACE(r.err);
            expect_failed_write(r, ext);
            EXPECT_TRUE(fs::is_directory(dir / ("taken." + ext)));
            EXPECT_FALSE(fs::exists(dir / "missing"));
        }
    }
}

}  // namespace
