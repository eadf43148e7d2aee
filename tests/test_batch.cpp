// End-to-end runs of dispsmooth-batch in a temporary directory: KITTI and
// Middlebury layouts made here, the outputs against the library's own
// smoothing, the JSON lines, the exit statuses, the refusals, and Ctrl-C.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "dispsmooth/disparity_io.hpp"
#include "dispsmooth/dispsmooth.hpp"
#include "dispsmooth/png_codec.h"
#include "dispsmooth/version.h"
#include "tests/support.h"

namespace {

namespace fs = std::filesystem;
using test_support::read_file;
using test_support::run_result;
using test_support::temp_dir;
using test_support::write_file;

// Starts dispsmooth-batch in dir with args, standard output and error going
// to files of capture, standard input from /dev/null.
pid_t start_batch(const fs::path &dir, const fs::path &capture,
                  const std::vector<std::string> &args, const char *stdout_path = nullptr) {
    std::vector<std::string> strings = {DISPSMOOTH_BATCH_EXE};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &s : strings) argv.push_back(s.data());
    argv.push_back(nullptr);
    const std::string out = stdout_path != nullptr ? stdout_path : (capture / "stdout").string();
    const std::string err = (capture / "stderr").string();
    const pid_t pid = fork();
    if (pid == 0) {
        const int in_fd = open("/dev/null", O_RDONLY);
        const int out_fd = stdout_path != nullptr
                               ? open(out.c_str(), O_WRONLY)
                               : open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in_fd < 0 || out_fd < 0 || err_fd < 0 || chdir(dir.c_str()) != 0) _exit(127);
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        for (const int sig : {SIGHUP, SIGINT, SIGTERM, SIGPIPE}) signal(sig, SIG_DFL);
        alarm(300);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

run_result run_batch(const fs::path &dir, const std::vector<std::string> &args) {
    temp_dir capture;
    return test_support::wait_for_tool(start_batch(dir, capture.path(), args), capture.path());
}

// A scene: a reference of two coloured halves with noise, and a map of two
// disparities with speckles and holes.
struct scene {
    int width;
    int height;
    std::vector<int> rgb;
    std::vector<double> disparity;  // pixels; NaN where there is none
};

scene make_scene(int width, int height, unsigned seed) {
    scene s{width, height, {}, {}};
    const std::vector<int> noise =
        test_support::random_ints(static_cast<std::size_t>(width) * height * 4, 0, 99, seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * width + x;
            const bool left = x < width / 2 + (y % 5);
            for (int c = 0; c < 3; ++c)
                s.rgb.push_back((left ? 40 : 200) + c * 10 + noise[4 * i + c] % 9);
            double d = left ? 20.25 : 47.5;
            if (noise[4 * i + 3] < 10) d += (noise[4 * i + 3] - 5) * 3.0625;
            if (noise[4 * i + 3] >= 95) d = std::nan("");
            s.disparity.push_back(d);
        }
    return s;
}

void write_reference(const fs::path &path, const scene &s) {
    std::vector<int> rgb = s.rgb;
    write_rgb_image_arr_into_png(path.c_str(), s.width, s.height, rgb.data());
}

dispsmooth::uint16_image kitti_map(const scene &s) {
    dispsmooth::uint16_image image;
    image.width = s.width;
    image.height = s.height;
    for (const double d : s.disparity)
        image.pixels.push_back(std::isnan(d) ? 0 : static_cast<std::uint16_t>(d * 256));
    return image;
}

dispsmooth::float_image pfm_map(const scene &s) {
    dispsmooth::float_image image;
    image.width = s.width;
    image.height = s.height;
    for (const double d : s.disparity)
        image.pixels.push_back(std::isnan(d) ? std::numeric_limits<float>::infinity()
                                             : static_cast<float>(d));
    return image;
}

std::vector<std::uint8_t> reference_bytes(const scene &s) { return {s.rgb.begin(), s.rgb.end()}; }

// What the library gives for the scene's KITTI map.
std::vector<std::uint16_t> smoothed_kitti(const scene &s, int radius, bool fill) {
    dispsmooth::uint16_image map = kitti_map(s);
    dispsmooth::level_options levels;
    levels.min_d = 0;
    levels.max_d = 65535;
    levels.invalid = 0.0;
    levels.fill = fill;
    dispsmooth::smooth_map(s.width, s.height, reference_bytes(s).data(), map.pixels.data(), radius,
                           9.0, 20.0, levels);
    return map.pixels;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        const std::string::size_type end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> tree(const fs::path &dir) {
    std::vector<std::string> names;
    if (!fs::exists(dir)) return names;
    for (const auto &entry : fs::recursive_directory_iterator(dir))
        names.push_back(entry.path().lexically_relative(dir).string());
    std::sort(names.begin(), names.end());
    return names;
}

// image_2/ with frames 0..count-1 (_10 and _11) and disp_occ_0/ with the
// _10 maps, as KITTI lays them out.
std::vector<scene> make_kitti(const fs::path &root, int count, int width = 48, int height = 20) {
    fs::create_directories(root / "image_2");
    fs::create_directories(root / "disp_occ_0");
    std::vector<scene> scenes;
    for (int i = 0; i < count; ++i) {
        const scene s = make_scene(width, height, 100 + i);
        char name[32];
        std::snprintf(name, sizeof name, "%06d_10.png", i);
        write_reference(root / "image_2" / name, s);
        std::snprintf(name, sizeof name, "%06d_11.png", i);
        write_reference(root / "image_2" / name, make_scene(width, height, 900 + i));
        std::snprintf(name, sizeof name, "%06d_10.png", i);
        dispsmooth::write_uint16_image((root / "disp_occ_0" / name).string(), kitti_map(s));
        scenes.push_back(s);
    }
    return scenes;
}

TEST(Batch, HelpAndVersionGoToStandardOutput) {
    temp_dir dir;
    const run_result help = run_batch(dir.path(), {"--help"});
    EXPECT_TRUE(help.exited && help.exit_status == 0);
    EXPECT_EQ(help.out.rfind("Usage: dispsmooth-batch", 0), 0U) << help.out;
    EXPECT_NE(help.out.find("--output-encoding"), std::string::npos);
    EXPECT_EQ(help.err, "");
    const run_result version = run_batch(dir.path(), {"--version"});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out, std::string("dispsmooth-batch ") + DISPSMOOTH_VERSION + "\n");
}

TEST(Batch, KittiFoldersAreMatchedByNameAndKeepEveryFraction) {
    temp_dir dir;
    const std::vector<scene> scenes = make_kitti(dir.path(), 3);
    // Not maps: a hidden file (another writer's temporary) and a text file.
    write_file(dir / "disp_occ_0" / ".000009_10.png.tmp", "x");
    write_file(dir / "disp_occ_0" / "README.txt", "x");
    const run_result r = run_batch(dir.path(), {"--radius", "3", "--encoding", "kitti", "--fill",
                                                "--out", "smoothed/", "image_2/", "disp_occ_0/"});
    ASSERT_TRUE(r.exited && r.exit_status == 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(tree(dir / "smoothed"),
              (std::vector<std::string>{"000000_10.png", "000001_10.png", "000002_10.png"}));
    for (int i = 0; i < 3; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "%06d_10.png", i);
        const dispsmooth::uint16_image out =
            dispsmooth::read_uint16_image((dir / "smoothed" / name).string());
        EXPECT_EQ(out.bit_depth, 16);
        EXPECT_EQ(out.pixels, smoothed_kitti(scenes[i], 3, true)) << name;
    }
}

TEST(Batch, TheResultsDoNotDependOnTheThreadCountOrTheFrameSize) {
    temp_dir dir;
    make_kitti(dir.path(), 4);
    // One frame above the size smoothed alone on every thread.
    const scene large = make_scene(1500, 1400, 7);
    write_reference(dir / "image_2" / "large.png", large);
    dispsmooth::write_uint16_image((dir / "disp_occ_0" / "large.png").string(), kitti_map(large));
    for (const char *threads : {"1", "2", "3"}) {
        const run_result r =
            run_batch(dir.path(), {"--radius", "1", "--threads", threads, "--out",
                                   std::string("out") + threads, "image_2", "disp_occ_0"});
        ASSERT_EQ(r.exit_status, 0) << r.err;
    }
    for (const char *name : {"000000_10.png", "000003_10.png", "large.png"}) {
        const std::string one = read_file(dir / "out1" / name);
        EXPECT_EQ(read_file(dir / "out2" / name), one) << name;
        EXPECT_EQ(read_file(dir / "out3" / name), one) << name;
    }
    EXPECT_EQ(dispsmooth::read_uint16_image((dir / "out1" / "large.png").string()).pixels,
              smoothed_kitti(large, 1, false));
}

TEST(Batch, MiddleburyScenesAreFoundAndKeepTheirInfinities) {
    temp_dir dir;
    std::vector<scene> scenes;
    for (const char *name : {"Adirondack", "Jadeplant"}) {
        fs::create_directories(dir / "training" / name);
        scenes.push_back(make_scene(40, 24, static_cast<unsigned>(scenes.size()) + 50));
        write_reference(dir / "training" / name / "im0.png", scenes.back());
        dispsmooth::write_pfm((dir / "training" / name / "disp0.pfm").string(),
                              pfm_map(scenes.back()));
    }
    // A folder without a map is not a scene.
    fs::create_directories(dir / "training" / "Empty");
    write_reference(dir / "training" / "Empty" / "im0.png", scenes[0]);
    const run_result r =
        run_batch(dir.path(), {"--json", "--radius", "2", "--out", "out", "training"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(tree(dir / "out"), (std::vector<std::string>{"Adirondack", "Adirondack/disp0.pfm",
                                                           "Jadeplant", "Jadeplant/disp0.pfm"}));
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 2U) << r.out;
    for (const std::string &line : lines) {
        EXPECT_EQ(line.front(), '{');
        EXPECT_EQ(line.back(), '}');
        EXPECT_NE(line.find("\"width\":40,\"height\":24,"), std::string::npos) << line;
        EXPECT_NE(line.find("\"status\":\"ok\",\"message\":\"\"}"), std::string::npos) << line;
        EXPECT_NE(line.find("\"seconds\":"), std::string::npos) << line;
    }
    EXPECT_NE(r.out.find("{\"input\":\"training/Adirondack/disp0.pfm\",\"reference\":"
                         "\"training/Adirondack/im0.png\",\"output\":\"out/Adirondack/disp0.pfm\""),
              std::string::npos)
        << r.out;
    for (std::size_t i = 0; i < scenes.size(); ++i) {
        const char *name = i == 0 ? "Adirondack" : "Jadeplant";
        dispsmooth::float_image expected = pfm_map(scenes[i]);
        dispsmooth::level_options levels;
        levels.step = 1.0 / 16;
        levels.min_d = -100;
        levels.max_d = 2000;
        dispsmooth::smooth_map(40, 24, reference_bytes(scenes[i]).data(), expected.pixels.data(), 2,
                               9.0, 20.0, levels);
        const dispsmooth::float_image out =
            dispsmooth::read_pfm((dir / "out" / name / "disp0.pfm").string());
        ASSERT_EQ(out.pixels.size(), expected.pixels.size());
        for (std::size_t p = 0; p < out.pixels.size(); ++p)
            ASSERT_EQ(out.pixels[p], expected.pixels[p]) << name << " pixel " << p;
        EXPECT_TRUE(std::isinf(out.pixels[0]) || std::isfinite(out.pixels[0]));
    }
}

TEST(Batch, OutputEncodingsConvertTheDisparities) {
    temp_dir dir;
    const scene s = make_scene(16, 8, 3);
    write_reference(dir / "ref.png", s);
    dispsmooth::write_uint16_image((dir / "d.png").string(), kitti_map(s));
    const run_result r = run_batch(dir.path(), {"--radius", "0", "--output-encoding", "pfm",
                                                "--out", "out", "ref.png", "d.png"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    const dispsmooth::float_image out = dispsmooth::read_pfm((dir / "out" / "d.pfm").string());
    const dispsmooth::uint16_image in = kitti_map(s);
    for (std::size_t i = 0; i < in.pixels.size(); ++i) {
        if (in.pixels[i] == 0)
            EXPECT_TRUE(std::isinf(out.pixels[i])) << i;
        else
            EXPECT_EQ(out.pixels[i], in.pixels[i] / 256.0F) << i;
    }
    // Back to KITTI from that PFM: the same levels.
    const run_result back = run_batch(dir.path(), {"--radius", "0", "--output-encoding", "kitti",
                                                   "--out", "back", "ref.png", "out/d.pfm"});
    ASSERT_EQ(back.exit_status, 0) << back.err;
    EXPECT_EQ(dispsmooth::read_uint16_image((dir / "back" / "d.png").string()).pixels, in.pixels);
    // 8 bits cannot hold 47.5 px rounded past 255 -- but can hold these;
    // a disparity of 300 px cannot.
    dispsmooth::float_image far = pfm_map(s);
    far.pixels[5] = 300.0F;
    dispsmooth::write_pfm((dir / "far.pfm").string(), far);
    const run_result eight = run_batch(dir.path(), {"--radius", "0", "--output-encoding", "gray8",
                                                    "--out", "eight", "ref.png", "far.pfm"});
    EXPECT_EQ(eight.exit_status, 1);
    EXPECT_NE(eight.err.find("far.pfm: the disparity 300.000000 at row 0, column 5 cannot be "
                             "stored in 8 bits"),
              std::string::npos)
        << eight.err;
    EXPECT_EQ(tree(dir / "eight"), std::vector<std::string>{});
}

TEST(Batch, ABadFrameIsReportedAndTheOthersGoOn) {
    temp_dir dir;
    make_kitti(dir.path(), 3);
    write_file(dir / "disp_occ_0" / "000001_10.png", "not a PNG");
    dispsmooth::write_uint16_image((dir / "disp_occ_0" / "000007_10.png").string(),
                                   kitti_map(make_scene(8, 8, 1)));
    const run_result r = run_batch(
        dir.path(), {"--json", "--threads", "2", "--out", "out", "image_2", "disp_occ_0"});
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(tree(dir / "out"), (std::vector<std::string>{"000000_10.png", "000002_10.png"}));
    EXPECT_NE(r.err.find("dispsmooth-batch: disp_occ_0/000001_10.png: libpng error: Not a PNG "
                         "file; dispsmooth: cannot read PNG image \"disp_occ_0/000001_10.png\"\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("dispsmooth-batch: disp_occ_0/000007_10.png: no reference image of that "
                         "name in \"image_2\"\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("dispsmooth-batch: 2 of 4 frames failed\n"), std::string::npos) << r.err;
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 4U) << r.out;
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string &l) {
                                return l.find("\"status\":\"failed\"") != std::string::npos;
                            }),
              2);
    EXPECT_NE(r.out.find("\"width\":null,\"height\":null,"), std::string::npos);
    EXPECT_NE(r.out.find("\"message\":\"libpng error: Not a PNG file; dispsmooth: cannot read PNG "
                         "image \\\"disp_occ_0/000001_10.png\\\"\"}"),
              std::string::npos)
        << r.out;
}

TEST(Batch, FailFastStopsAtTheFirstFailure) {
    temp_dir dir;
    make_kitti(dir.path(), 4);
    write_file(dir / "disp_occ_0" / "000000_10.png", "");
    const run_result r = run_batch(
        dir.path(), {"--fail-fast", "--threads", "1", "--out", "out", "image_2", "disp_occ_0"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(tree(dir / "out"), std::vector<std::string>{});
    EXPECT_NE(r.err.find("stopped at the first failure: 1 of 4 frames failed, 0 written"),
              std::string::npos)
        << r.err;
}

TEST(Batch, PairsAndListsOfPairsAreSmoothed) {
    temp_dir dir;
    make_kitti(dir.path(), 2);
    write_file(dir / "pairs.txt",
               "# reference  disparity\n"
               "image_2/000000_10.png disp_occ_0/000000_10.png\n\n"
               "  image_2/000001_10.png\tdisp_occ_0/000001_10.png   # the second\n");
    const run_result listed = run_batch(dir.path(), {"--out", "listed", "--list", "pairs.txt"});
    ASSERT_EQ(listed.exit_status, 0) << listed.err;
    const run_result paired = run_batch(
        dir.path(), {"--out", "paired", "image_2/000000_10.png", "disp_occ_0/000000_10.png",
                     "image_2/000001_10.png", "disp_occ_0/000001_10.png"});
    ASSERT_EQ(paired.exit_status, 0) << paired.err;
    for (const char *name : {"000000_10.png", "000001_10.png"})
        EXPECT_EQ(read_file(dir / "listed" / name), read_file(dir / "paired" / name)) << name;
}

struct usage_case {
    const char *what;
    std::vector<std::string> args;
    const char *message;
};

TEST(Batch, WrongCommandLinesExitWithStatus2AndDoNothing) {
    temp_dir dir;
    make_kitti(dir.path(), 2);
    fs::create_directories(dir / "other");
    dispsmooth::write_uint16_image((dir / "other" / "000000_10.png").string(),
                                   kitti_map(make_scene(48, 20, 100)));
    fs::create_directories(dir / "linked");
    fs::create_hard_link(dir / "disp_occ_0" / "000001_10.png", dir / "linked" / "000001_10.png");
    const usage_case cases[] = {
        {"nothing", {}, "no --out directory given"},
        {"no inputs", {"--out", "o"}, "no inputs given"},
        {"unknown option",
         {"--radious", "3", "--out", "o", "image_2", "disp_occ_0"},
         "unknown option --radious"},
        {"negative radius", {"--radius", "-1", "--out", "o", "image_2", "disp_occ_0"}, "--radius"},
        {"radius not a number",
         {"--radius=3x", "--out", "o", "image_2", "disp_occ_0"},
         "--radius is \"3x\""},
        {"sigma 0",
         {"--sigma-space", "0", "--out", "o", "image_2", "disp_occ_0"},
         "--sigma-space is \"0\""},
        {"sigma nan",
         {"--sigma-color", "nan", "--out", "o", "image_2", "disp_occ_0"},
         "--sigma-color"},
        {"unknown encoding",
         {"--encoding", "jpeg", "--out", "o", "image_2", "disp_occ_0"},
         "--encoding is \"jpeg\""},
        {"auto output",
         {"--output-encoding", "auto", "--out", "o", "image_2", "disp_occ_0"},
         "gray8, kitti or pfm"},
        {"threads 0", {"--threads", "0", "--out", "o", "image_2", "disp_occ_0"}, "--threads"},
        {"step 0", {"--step", "1/0", "--out", "o", "image_2", "disp_occ_0"}, "--step"},
        {"missing value",
         {"--out", "o", "image_2", "disp_occ_0", "--radius"},
         "--radius needs a value"},
        {"three files",
         {"--out", "o", "image_2/000000_10.png", "disp_occ_0/000000_10.png",
          "image_2/000001_10.png"},
         "3 files given"},
        {"one file", {"--out", "o", "image_2/000000_10.png"}, "is not a folder of scenes"},
        {"folder and file",
         {"--out", "o", "image_2", "disp_occ_0/000000_10.png"},
         "give two folders or two files"},
        {"no scene", {"--out", "o", "image_2"}, "holds both im0.png and disp0.pfm"},
        {"missing list", {"--out", "o", "--list", "nothing.txt"}, "cannot read the list"},
        {"output over the input",
         {"--out", "disp_occ_0", "image_2", "disp_occ_0"},
         "would replace the input"},
        {"output over the input by another spelling",
         {"--out", "./image_2/../disp_occ_0//", "image_2", "disp_occ_0"},
         "would replace the input"},
        {"output over a hard link of an input",
         {"--out", "linked", "image_2/000001_10.png", "disp_occ_0/000001_10.png"},
         "is the input"},
        {"two frames to one output",
         {"--out", "o", "image_2/000000_10.png", "disp_occ_0/000000_10.png",
          "image_2/000000_10.png", "other/000000_10.png"},
         "would both be written to \"o/000000_10.png\""},
    };
    const std::vector<std::string> before = tree(dir.path());
    for (const usage_case &c : cases) {
        const run_result r = run_batch(dir.path(), c.args);
        EXPECT_TRUE(r.exited && r.exit_status == 2) << c.what << ": " << r.exit_status;
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.what << ": " << r.err;
        EXPECT_NE(r.err.find("Try 'dispsmooth-batch --help'."), std::string::npos) << c.what;
        EXPECT_EQ(tree(dir.path()), before) << c.what;
    }
}

TEST(Batch, KittiEncodingRefusesAnEightBitMapAndAutoReadsIt) {
    temp_dir dir;
    const scene s = make_scene(16, 8, 9);
    write_reference(dir / "ref.png", s);
    dispsmooth::gray_image eight;
    eight.width = 16;
    eight.height = 8;
    eight.pixels.assign(16 * 8, 30);
    dispsmooth::write_image((dir / "d8.png").string(), eight);
    const run_result kitti =
        run_batch(dir.path(), {"--encoding", "kitti", "--out", "o", "ref.png", "d8.png"});
    EXPECT_EQ(kitti.exit_status, 1);
    EXPECT_NE(kitti.err.find("\"d8.png\" has 8-bit samples; KITTI's maps are 16-bit"),
              std::string::npos)
        << kitti.err;
    const run_result automatic = run_batch(dir.path(), {"--out", "o", "ref.png", "d8.png"});
    ASSERT_EQ(automatic.exit_status, 0) << automatic.err;
    EXPECT_EQ(dispsmooth::read_gray_image((dir / "o" / "d8.png").string()).pixels, eight.pixels);
}

// Standard output that cannot be written (a full disk, a reader gone):
// the run stops as after Ctrl-C, with a message and status 1.
TEST(Batch, AJsonReaderThatFailsStopsTheRunCleanly) {
    temp_dir dir;
    make_kitti(dir.path(), 6);
    temp_dir capture;
    const pid_t pid = start_batch(
        dir.path(), capture.path(),
        {"--json", "--threads", "1", "--out", "out", "image_2", "disp_occ_0"}, "/dev/full");
    const run_result r = test_support::wait_for_tool(pid, capture.path());
    EXPECT_TRUE(r.exited && r.exit_status == 1) << r.err;
    EXPECT_NE(r.err.find("dispsmooth-batch: cannot write to standard output: No space left on "
                         "device; stopped with 1 of 6 frames written"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(tree(dir / "out"), std::vector<std::string>{"000000_10.png"});
}

// Ctrl-C in the middle: the run ends by SIGINT, every output there is
// whole and no temporary file is left.
TEST(Batch, SigintStopsCleanlyLeavingWholeOutputs) {
    temp_dir dir;
    make_kitti(dir.path(), 40, 160, 120);
    temp_dir capture;
    const pid_t pid = start_batch(
        dir.path(), capture.path(),
        {"--radius", "12", "--threads", "2", "--json", "--out", "out", "image_2", "disp_occ_0"});
    // Wait for the first outputs, then interrupt.
    for (int i = 0; i < 3000 && tree(dir / "out").size() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(pid, SIGINT);
    const run_result r = test_support::wait_for_tool(pid, capture.path());
    ASSERT_FALSE(r.exited) << r.err;
    EXPECT_EQ(r.term_signal, SIGINT);
    EXPECT_NE(r.err.find("dispsmooth-batch: interrupted: "), std::string::npos) << r.err;
    const std::vector<std::string> outputs = tree(dir / "out");
    EXPECT_LT(outputs.size(), 40U);
    for (const std::string &name : outputs) {
        EXPECT_NE(name[0], '.') << "temporary file left: " << name;
        const dispsmooth::uint16_image out =
            dispsmooth::read_uint16_image((dir / "out" / name).string());
        EXPECT_EQ(out.width, 160) << name;
    }
    // One "ok" line per output written.
    const std::vector<std::string> lines = lines_of(r.out);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string &l) {
                                return l.find("\"status\":\"ok\"") != std::string::npos;
                            }),
              static_cast<long>(outputs.size()));
}

}  // namespace
