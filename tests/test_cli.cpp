// End-to-end runs of the dispsmooth executable in a temporary directory:
// parameter file, images made here, exact standard output, standard error,
// exit status and the file written.
#include "dispsmooth/driver.h"
#include "dispsmooth/jpeg_codec.h"
#include "dispsmooth/png_codec.h"
#include "dispsmooth/smoothing.h"
#include "dispsmooth/tiff_codec.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test_support::run_result;
using test_support::run_tool;
using test_support::temp_dir;

struct scene {
    int width;
    int height;
    std::vector<int> rgb;   // width * height * 3
    std::vector<int> disp;  // width * height, 0..255
};

// Two colour regions with their own disparity, plus scattered wrong
// disparities for the filter to remove.  Raw mt19937 output is the same
// everywhere, so the scene is too.
scene make_scene(int width, int height, unsigned seed) {
    std::mt19937 rng(seed);
    scene s{width, height, std::vector<int>(width * height * 3), std::vector<int>(width * height)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int p = y * width + x;
            const bool object =
                (x - width / 2) * (x - width / 2) + (y - height / 2) * (y - height / 2) <
                (height / 3) * (height / 3);
            const int base[3] = {object ? 200 : 40, object ? 60 : 90, object ? 50 : 160};
            for (int c = 0; c < 3; ++c)
                s.rgb[3 * p + c] = base[c] + static_cast<int>(rng() % 21) - 10;
            s.disp[p] = (rng() % 10 == 0) ? static_cast<int>(rng() % 256) : (object ? 120 : 30);
        }
    }
    return s;
}

std::vector<int> smoothed(const scene &s, int radius, double sigma_space, double sigma_color) {
    std::vector<int> disp = s.disp;
    smooth_disparity_weighted_median(s.width, s.height, s.rgb.data(), disp.data(), 0, 255, radius,
                                     sigma_space, sigma_color);
    return disp;
}

void write_tiffs(const fs::path &dir, const std::string &ref, const std::string &disp,
                 const scene &s) {
    write_rgb_image_arr_into_tiff((dir / ref).c_str(), s.width, s.height, s.rgb.data());
    write_image_arr_into_tiff((dir / disp).c_str(), s.width, s.height, s.disp.data());
}

std::vector<int> read_gray(const fs::path &path, int *pw, int *ph) {
    int *arr = nullptr;
    codec_for_filename(path.c_str())->read_gray(path.c_str(), pw, ph, &arr);
    std::vector<int> values(arr, arr + *pw * *ph);
    std::free(arr);
    return values;
}

std::string echo(const std::string &ref, const std::string &disp, const std::string &radius,
                 const std::string &sigma_space, const std::string &sigma_color,
                 const std::string &out) {
    return "reference image = " + ref + "\ndisparity map = " + disp + "\nradius = " + radius +
           "\nsigma_space = " + sigma_space + "\nsigma_color = " + sigma_color +
           "\nsmoothed disparity map = " + out + "\n";
}

const std::string smoothing_lines =
    "Smoothing the disparities ...\nSmoothing the disparities ... done.\n";

std::string rejection(const std::string &name) {
    return "Filename extension for " + name +
           " not recognized!\nSupported: tiff, TIFF, tif, TIF, png, PNG, jpeg, JPEG, jpg, JPG\n";
}

// Standard error without libtiff's warning about the fourth sample of the
// colour TIFFs written here (the writer sets no ExtraSamples field, so the
// reader says so each time it opens one).
std::string without_tiff_warning(const std::string &err) {
    const std::string warning =
        "TIFFReadDirectory: Warning, Sum of Photometric type-related color channels and "
        "ExtraSamples doesn't match SamplesPerPixel. Defining non-color channels as "
        "ExtraSamples..\n";
    std::string rest = err;
    for (auto at = rest.find(warning); at != std::string::npos; at = rest.find(warning))
        rest.erase(at, warning.size());
    return rest;
}

bool exited_with(const run_result &r, int status) { return r.exited && r.exit_status == status; }

TEST(Cli, SmoothsTiffFilesAndReadsTokensWhateverTheLayout) {
    const scene s = make_scene(24, 18, 1);
    const std::vector<int> expected = smoothed(s, 5, 9.0, 25.5);
    std::string outputs[2];
    std::string stdouts[2];
    const char *layouts[2] = {"scene.left.tif disp.TIFF 5 9 25.5 out.tif\n",
                              "scene.left.tif\ndisp.TIFF\n\n5\n9\n  25.5\r\nout.tif"};
    for (int k = 0; k < 2; ++k) {
        temp_dir dir;
        write_tiffs(dir.path(), "scene.left.tif", "disp.TIFF", s);
        test_support::write_parameter_file(dir.path(), layouts[k]);
        const run_result r = run_tool(dir.path());
        EXPECT_TRUE(exited_with(r, 0)) << r.err;
        EXPECT_EQ(without_tiff_warning(r.err), "");
        EXPECT_EQ(r.out, echo("scene.left.tif", "disp.TIFF", "5", "9", "25.5", "out.tif") +
                             smoothing_lines);
        int w = 0, h = 0;
        EXPECT_EQ(read_gray(dir / "out.tif", &w, &h), expected);
        EXPECT_EQ(w, 24);
        EXPECT_EQ(h, 18);
        stdouts[k] = r.out;
        outputs[k] = test_support::read_file(dir / "out.tif");
    }
    EXPECT_EQ(stdouts[0], stdouts[1]);
    EXPECT_EQ(outputs[0], outputs[1]);
    EXPECT_NE(expected, s.disp);  // the run did change the map
}

TEST(Cli, HoldsFileNamesLongerThanEightyCharacters) {
    const scene s = make_scene(9, 7, 2);
    const std::string stem(200, 'x');
    temp_dir dir;
    write_tiffs(dir.path(), stem + "1.tif", stem + "2.tif", s);
    test_support::write_parameter_file(dir.path(),
                                       stem + "1.tif " + stem + "2.tif 1 1 10 " + stem + "3.tif\n");
    const run_result r = run_tool(dir.path());
    EXPECT_TRUE(exited_with(r, 0)) << r.err;
    EXPECT_EQ(r.out, echo(stem + "1.tif", stem + "2.tif", "1", "1", "10", stem + "3.tif") +
                         smoothing_lines);
    int w = 0, h = 0;
    EXPECT_EQ(read_gray(dir / (stem + "3.tif"), &w, &h), smoothed(s, 1, 1.0, 10.0));
}

// One name of the three is not served; the run stops at that file with
// status 1 and writes nothing.
TEST(Cli, RejectsUnrecognisedExtensionsOfEachFile) {
    struct rejected_case {
        int position;  // 0 reference image, 1 disparity map, 2 output
        const char *name;
    };
    const rejected_case cases[] = {
        {0, "ref.Tif"},     {0, "ref"},  {0, "ref.bmp"},  {1, "disp.Png"},
        {1, "disp.tif.gz"}, {1, "disp"}, {2, "out.bmp"},  {2, "out.Jpg"},
        {2, "out."},        {2, "out"},  {2, "out.Tiff"}, {2, "out.tif.bmp"},
    };
    const scene s = make_scene(8, 6, 3);
    for (const rejected_case &c : cases) {
        std::string names[3] = {"ref.tif", "disp.tif", "out.tif"};
        names[c.position] = c.name;
        temp_dir dir;
        write_tiffs(dir.path(), "ref.tif", "disp.tif", s);
        test_support::write_parameter_file(dir.path(),
                                           names[0] + " " + names[1] + " 1 2 3 " + names[2] + "\n");
        const run_result r = run_tool(dir.path());
        std::string expected_out = echo(names[0], names[1], "1", "2", "3", names[2]);
        if (c.position == 2) expected_out += smoothing_lines;
        expected_out += rejection(names[c.position]);
        EXPECT_TRUE(exited_with(r, 1)) << c.name << r.err;
        EXPECT_EQ(r.out, expected_out) << c.name;
        EXPECT_EQ(without_tiff_warning(r.err), "") << c.name;
        EXPECT_FALSE(fs::exists(dir / names[2])) << c.name;
    }
}

TEST(Cli, StopsOnAMissingOrIncompleteParameterFile) {
    temp_dir dir;
    run_result r = run_tool(dir.path());
    EXPECT_TRUE(exited_with(r, 1));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "dispsmooth: cannot open parameter file \"kelv_input.txt\": No such file or "
              "directory\n");

    const scene s = make_scene(8, 6, 4);
    write_tiffs(dir.path(), "ref.tif", "disp.tif", s);
    const std::string tokens[6] = {"ref.tif", "disp.tif", "2", "3", "4", "out.tif"};
    const std::string full = echo("ref.tif", "disp.tif", "2", "3", "4", "out.tif");
    for (int present = 0; present < 6; ++present) {
        std::string text;
        for (int k = 0; k < present; ++k) text += tokens[k] + "\n";
        test_support::write_parameter_file(dir.path(), text);
        r = run_tool(dir.path());
        EXPECT_TRUE(exited_with(r, 1)) << present;
        // The echo lines of the parameters that were there, and nothing more.
        std::string::size_type end = 0;
        for (int k = 0; k < present; ++k) end = full.find('\n', end) + 1;
        EXPECT_EQ(r.out, full.substr(0, end));
        EXPECT_EQ(r.err.rfind("dispsmooth: \"kelv_input.txt\": cannot read parameter " +
                                  std::to_string(present + 1) + " (",
                              0),
                  0u)
            << r.err;
    }

    test_support::write_parameter_file(dir.path(), "ref.tif disp.tif five 3 4 out.tif");
    r = run_tool(dir.path());
    EXPECT_TRUE(exited_with(r, 1));
    EXPECT_EQ(r.err,
              "dispsmooth: \"kelv_input.txt\": cannot read parameter 3 (radius, an integer)\n");

    test_support::write_parameter_file(dir.path(), "ref.tif disp.tif 4294967301 3 4 out.tif");
    r = run_tool(dir.path());
    EXPECT_TRUE(exited_with(r, 1));
    EXPECT_EQ(r.out, "reference image = ref.tif\ndisparity map = disp.tif\n");
    EXPECT_EQ(r.err,
              "dispsmooth: \"kelv_input.txt\": parameter 3 (radius) 4294967301 is outside the "
              "range of an int (-2147483648..2147483647)\n");
    EXPECT_FALSE(fs::exists(dir / "out.tif"));
}

TEST(Cli, RefusesImagesOfDifferentSizes) {
    temp_dir dir;
    const scene ref = make_scene(40, 30, 5);
    const scene disp = make_scene(41, 30, 6);
    write_rgb_image_arr_into_tiff((dir / "a.tif").c_str(), 40, 30, ref.rgb.data());
    write_image_arr_into_tiff((dir / "b.tif").c_str(), 41, 30, disp.disp.data());
    test_support::write_parameter_file(dir.path(), "a.tif b.tif 1 1 1 c.tif\n");
    const run_result r = run_tool(dir.path());
    EXPECT_TRUE(exited_with(r, 1));
    EXPECT_EQ(r.out, echo("a.tif", "b.tif", "1", "1", "1", "c.tif"));
    EXPECT_EQ(without_tiff_warning(r.err),
              "dispsmooth: reference image \"a.tif\" is 40x30 but disparity map \"b.tif\" is "
              "41x30; they must have the same size\n");
    EXPECT_FALSE(fs::exists(dir / "c.tif"));
}

TEST(Cli, ZeroSigmaEndsTheRunAbnormallyWithoutOutput) {
    const scene s = make_scene(8, 6, 7);
    for (const char *sigmas : {"0 10", "10 0"}) {
        temp_dir dir;
        write_tiffs(dir.path(), "ref.tif", "disp.tif", s);
        test_support::write_parameter_file(
            dir.path(), std::string("ref.tif disp.tif 2 ") + sigmas + " out.tif");
        const run_result r = run_tool(dir.path());
        EXPECT_FALSE(r.exited) << sigmas;
        EXPECT_EQ(r.term_signal, SIGABRT) << sigmas;
        EXPECT_NE(r.err.find("FATAL ERROR in median_histo\n"), std::string::npos) << r.err;
        // Everything printed before the abort is in the pipe.
        EXPECT_EQ(r.out.substr(r.out.size() - 30), "Smoothing the disparities ...\n");
        EXPECT_FALSE(fs::exists(dir / "out.tif"));
    }
}

// Whatever way a codec ends the run, the lines printed before it are not
// lost in the buffer of a redirected stdout.
TEST(Cli, CodecFailuresEndTheRunAsEachCodecDoes) {
    const scene s = make_scene(8, 6, 8);
    const struct {
        const char *ref, *out;
        const char *remove;  // input deleted before the run, or ""
        bool aborts;
        const char *err;  // expected in standard error
    } cases[] = {
        {"ref.tif", "out.tif", "ref.tif", false, "\"ref.tif\""},
        {"ref.tif", "out.tif", "disp.tif", false, "\"disp.tif\""},
        {"ref.png", "out.tif", "ref.png", true, ""},
        {"ref.tif", "none/out.jpg", "", false, "can't open none/out.jpg\n"},
    };
    for (const auto &c : cases) {
        temp_dir dir;
        write_tiffs(dir.path(), "ref.tif", "disp.tif", s);
        if (*c.remove != '\0') fs::remove(dir / c.remove);
        test_support::write_parameter_file(dir.path(),
                                           std::string(c.ref) + " disp.tif 1 1 1 " + c.out);
        const run_result r = run_tool(dir.path());
        if (c.aborts) {
            EXPECT_EQ(r.term_signal, SIGABRT) << c.remove;
        } else {
            EXPECT_TRUE(exited_with(r, 1)) << c.remove << r.err;
        }
        std::string expected_out = echo(c.ref, "disp.tif", "1", "1", "1", c.out);
        if (*c.remove == '\0') expected_out += smoothing_lines;
        EXPECT_EQ(r.out, expected_out) << c.out;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir / c.out)) << c.out;
    }
}

// Each file is dispatched on its own extension.  The expected output is what
// the same codecs make in process of the smoothing of what they read, so the
// lossy JPEG files compare byte for byte too.
TEST(Cli, ReadsAndWritesAnyMixOfFormats) {
    const struct {
        const char *ref, *disp, *out;
    } mixes[] = {
        {"ref.tif", "disp.png", "out.jpg"},
        {"ref.png", "disp.jpeg", "out.TIF"},
        {"ref.JPG", "disp.PNG", "out.png"},
        {"ref.JPEG", "disp.tiff", "out.JPEG"},
    };
    const scene s = make_scene(20, 14, 9);
    for (const auto &mix : mixes) {
        temp_dir dir;
        const std::string ref_codec = codec_for_filename(mix.ref)->name;
        const fs::path ref_path = dir / mix.ref;
        const fs::path disp_path = dir / mix.disp;
        if (ref_codec == "TIFF")
            write_rgb_image_arr_into_tiff(ref_path.c_str(), 20, 14, s.rgb.data());
        if (ref_codec == "PNG")
            write_rgb_image_arr_into_png(ref_path.c_str(), 20, 14, s.rgb.data());
        if (ref_codec == "JPEG")
            write_rgb_image_arr_into_jpeg(ref_path.c_str(), 20, 14, s.rgb.data());
        codec_for_filename(mix.disp)->write_gray(disp_path.c_str(), 20, 14, s.disp.data());

        scene read_back{0, 0, {}, {}};
        int *arr = nullptr;
        codec_for_filename(mix.ref)->read_rgb(ref_path.c_str(), &read_back.width, &read_back.height,
                                              &arr);
        read_back.rgb.assign(arr, arr + 20 * 14 * 3);
        std::free(arr);
        int w = 0, h = 0;
        read_back.disp = read_gray(disp_path, &w, &h);
        temp_dir expected_dir;
        const fs::path expected_path = expected_dir / mix.out;
        codec_for_filename(mix.out)->write_gray(expected_path.c_str(), 20, 14,
                                                smoothed(read_back, 2, 2.0, 30.0).data());

        test_support::write_parameter_file(
            dir.path(), std::string(mix.ref) + " " + mix.disp + " 2 2 30 " + mix.out + "\n");
        const run_result r = run_tool(dir.path());
        EXPECT_TRUE(exited_with(r, 0)) << mix.out << r.err;
        EXPECT_EQ(without_tiff_warning(r.err), "") << mix.out;
        EXPECT_EQ(r.out, echo(mix.ref, mix.disp, "2", "2", "30", mix.out) + smoothing_lines);
        const std::string written = test_support::read_file(dir / mix.out);
        EXPECT_FALSE(written.empty()) << mix.out;
        EXPECT_EQ(written, test_support::read_file(expected_path)) << mix.out;
    }
}

// Feeds fifo with prefix, then with filler without end, until the reader
// closes it; returns the number of bytes written.
long long feed_without_end(const fs::path &fifo, const std::string &prefix, char filler) {
    int fd = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (fd < 0 && std::chrono::steady_clock::now() < deadline) {
        fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (fd < 0) return -1;
    fcntl(fd, F_SETFL, 0);
    long long written = 0;
    const std::string chunk(1 << 16, filler);
    for (std::string next = prefix.empty() ? chunk : prefix; written < (1LL << 28); next = chunk) {
        const ssize_t n = write(fd, next.data(), next.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // EPIPE: the reader has gone
        written += n;
    }
    close(fd);
    return written;
}

// A token longer than any path the system can open is refused as soon as
// its first PATH_MAX + 1 characters are read, whichever parameter it is:
// the parameter file is a FIFO fed without end, and the run reads no more
// than a few pipe-fulls of it before it stops with a message and status 1.
// A token of PATH_MAX characters is still taken.
TEST(Cli, RefusesATokenLongerThanAnyPathAsSoonAsItIsRead) {
    const struct {
        const char *prefix;
        char filler;
        const char *message;
        const char *echoed;
    } cases[] = {
        {"", 'a', "parameter 1 (reference image file name)", ""},
        {"ref.tif disp.tif ", '1', "parameter 3 (radius)",
         "reference image = ref.tif\ndisparity map = disp.tif\n"},
        {"ref.tif disp.tif 1 ", '2', "parameter 4 (sigma_space)",
         "reference image = ref.tif\ndisparity map = disp.tif\nradius = 1\n"},
        {"ref.tif disp.tif 1 3 10 ", 'o', "parameter 6 (smoothed disparity map file name)",
         "reference image = ref.tif\ndisparity map = disp.tif\nradius = 1\nsigma_space = 3\n"
         "sigma_color = 10\n"},
    };
    const auto old_sigpipe = signal(SIGPIPE, SIG_IGN);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        temp_dir dir;
        ASSERT_EQ(mkfifo((dir / "kelv_input.txt").c_str(), 0600), 0);
        long long written = 0;
        std::thread writer(
            [&] { written = feed_without_end(dir / "kelv_input.txt", c.prefix, c.filler); });
        const run_result r = run_tool(dir.path());
        writer.join();
        EXPECT_TRUE(exited_with(r, 1));
        EXPECT_EQ(r.out, c.echoed);
        EXPECT_EQ(r.err, std::string("dispsmooth: \"kelv_input.txt\": ") + c.message +
                             " is longer than " + std::to_string(PATH_MAX) + " characters\n");
        EXPECT_GT(written, PATH_MAX);
        EXPECT_LT(written, 1 << 20);
    }
    signal(SIGPIPE, old_sigpipe);

    temp_dir dir;
    const std::string longest(PATH_MAX - 4, 'x');
    test_support::write_parameter_file(dir.path(), longest + ".tif disp.tif 1 3 10 out.tif\n");
    const run_result r = run_tool(dir.path());
    EXPECT_TRUE(exited_with(r, 1));
    EXPECT_EQ(r.out.rfind("reference image = " + longest + ".tif\n", 0), 0u);
    EXPECT_NE(r.err.find("dispsmooth: cannot read TIFF image \"" + longest + ".tif\""),
              std::string::npos);
}

// libpng's and libjpeg's messages do not say which of the run's files they
// are about: a line of the tool's own follows them, naming the file, before
// the readers' abnormal end.
TEST(Cli, ReadFailuresNameTheFileAfterTheLibrarysMessage) {
    const scene s = make_scene(8, 6, 10);
    for (const std::string ext : {"png", "jpg"}) {
        temp_dir made;
        const fs::path whole = made / ("whole." + ext);
        codec_for_filename(whole.c_str())->write_gray(whole.c_str(), 8, 6, s.disp.data());
        const std::string bytes = test_support::read_file(whole);
        for (const std::string &damaged : {std::string(), bytes.substr(0, 40)}) {
            for (const bool as_reference : {true, false}) {
                temp_dir dir;
                write_tiffs(dir.path(), "ref.tif", "disp.tif", s);
                const std::string name = as_reference ? "ref." + ext : "disp." + ext;
                test_support::write_file(dir / name, damaged);
                test_support::write_parameter_file(
                    dir.path(),
                    (as_reference ? name + " disp.tif" : "ref.tif " + name) + " 1 1 1 out.tif\n");
                const run_result r = run_tool(dir.path());
                SCOPED_TRACE(name + " of " + std::to_string(damaged.size()) + " bytes: " + r.err);
                EXPECT_EQ(r.term_signal, SIGABRT);
                const std::string line = "dispsmooth: cannot read " +
                                         std::string(ext == "png" ? "PNG" : "JPEG") + " image \"" +
                                         name + "\"\n";
                ASSERT_GT(r.err.size(), line.size());
                EXPECT_EQ(r.err.substr(r.err.size() - line.size()), line);
                const std::string before =
                    without_tiff_warning(r.err.substr(0, r.err.size() - line.size()));
                EXPECT_FALSE(before.empty());
                if (ext == "png") {
                    EXPECT_EQ(before.rfind("libpng error: ", 0), 0u);
                }
                EXPECT_FALSE(fs::exists(dir / "out.tif"));
            }
        }
    }
}

}  // namespace
