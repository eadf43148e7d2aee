// Writes of the result that fail -- half way through, on a full device, or
// because the output cannot be created at all -- never end with status 0:
// the TIFF writer reports and exits with status 1, removing its incomplete
// file; the PNG writer aborts; the JPEG writer exits with status 1.
#include "dispsmooth/tiff_codec.h"
#include "support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test_support::run_result;
using test_support::run_tool;
using test_support::temp_dir;

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
        const run_result r = run_tool(dir.path(), {}, 120, /*file_size_limit=*/4096);
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
        const run_result r = run_tool(dir.path());
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
            const run_result r = run_tool(dir.path());
            SCOPED_TRACE(r.err);
            expect_failed_write(r, ext);
            EXPECT_TRUE(fs::is_directory(dir / ("taken." + ext)));
            EXPECT_FALSE(fs::exists(dir / "missing"));
        }
    }
}

}  // namespace
