// PNG codec: the PngSuite against an independent decoder, the damaged
// PngSuite files, writer round trips, the abnormal ends, and the tool run on
// PNG files mixed with TIFF.
#include "dispsmooth/png_codec.h"
#include "dispsmooth/smoothing.h"
#include "dispsmooth/tiff_codec.h"
#include "tests/support.h"

#include <gtest/gtest.h>
#include <png.h>

#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test_support::temp_dir;

struct rgba_image {
    int w = 0, h = 0;
    std::vector<int> rgb, alpha;
};

rgba_image read_rgba(const fs::path &path) {
    rgba_image img;
    int *rgb = nullptr, *alpha = nullptr;
    read_png_into_rgba_image_arr(path.c_str(), &img.w, &img.h, &rgb, &alpha);
    img.rgb.assign(rgb, rgb + 3 * img.w * img.h);
    img.alpha.assign(alpha, alpha + img.w * img.h);
    std::free(rgb);
    std::free(alpha);
    return img;
}

template <typename Reader>
std::vector<int> read_with(Reader reader, const fs::path &path, int channels, int *pw, int *ph) {
    int *arr = nullptr;
    reader(path.c_str(), pw, ph, &arr);
    std::vector<int> values(arr, arr + channels * *pw * *ph);
    std::free(arr);
    return values;
}

// Colour type, bit depth and interlace method of a file's header, read with
// libpng directly.
std::vector<int> header_of(const fs::path &path) {
    std::FILE *fp = std::fopen(path.c_str(), "rb");
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, fp);
    png_read_info(png, info);
    std::vector<int> header = {png_get_color_type(png, info), png_get_bit_depth(png, info),
                               png_get_interlace_type(png, info)};
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(fp);
    return header;
}

bool has_trns_chunk(const fs::path &path) {
    const std::string bytes = test_support::read_file(path);
    for (std::size_t at = 8; at + 8 <= bytes.size();) {
        const auto b = [&](std::size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
        const std::size_t length = (b(0) << 24) | (b(1) << 16) | (b(2) << 8) | b(3);
        if (bytes.compare(at + 4, 4, "tRNS") == 0) return true;
        at += 12 + length;
    }
    return false;
}

TEST(PngSuite, EveryValidFileReadsAsTheDescribedRgba) {
    REQUIRE_TESTDATA();
    int files = 0, matched = 0;
    for (const fs::path &path : test_support::testdata_files("png")) {
        const std::string name = path.filename().string();
        if (name[0] == 'x') continue;
        ++files;
        SCOPED_TRACE(name);
        const rgba_image img = read_rgba(path);
        // stb applies no gamma and cuts 16-bit samples to their high byte
        // (it tests a 16-bit tRNS colour before the cut), as the reader does.
        int w = 0, h = 0, n = 0;
        unsigned char *ref = stbi_load(path.c_str(), &w, &h, &n, 4);
        ASSERT_NE(ref, nullptr) << stbi_failure_reason();
        ASSERT_EQ(img.w, w);
        ASSERT_EQ(img.h, h);
        // File names encode the colour type (5th character) and bit depth.
        const int type = name[4] - '0', depth = std::stoi(name.substr(6, 2));
        const bool alpha_source = type == 4 || type == 6 || has_trns_chunk(path);
        int wrong = 0;
        for (int p = 0; p < w * h; ++p) {
            const int *px = &img.rgb[3 * p];
            bool ok = px[0] == ref[4 * p] && px[1] == ref[4 * p + 1] && px[2] == ref[4 * p + 2] &&
                      img.alpha[p] == ref[4 * p + 3];
            if (type == 0 || type == 4) ok = ok && px[0] == px[1] && px[1] == px[2];
            if (type == 0 && depth < 8) ok = ok && px[0] % (255 / ((1 << depth) - 1)) == 0;
            if (!alpha_source) ok = ok && img.alpha[p] == 255;
            if (!ok && wrong++ == 0) ADD_FAILURE() << "first wrong pixel " << p;
        }
        stbi_image_free(ref);
        if (wrong == 0) ++matched;
    }
    std::printf("PngSuite: %d valid files, %d match\n", files, matched);
    EXPECT_EQ(files, 161);
    EXPECT_EQ(matched, files);
}

TEST(PngSuite, InterlacedFilesReadWholeAndInOrder) {
    REQUIRE_TESTDATA();
    int pairs = 0;
    for (const fs::path &path : test_support::testdata_files("png")) {
        std::string name = path.filename().string();
        if (name.size() != 12 || name[3] != 'i') continue;
        name[3] = 'n';
        const fs::path plain = path.parent_path() / name;
        if (!fs::exists(plain)) continue;
        ++pairs;
        EXPECT_EQ(header_of(path)[2], PNG_INTERLACE_ADAM7) << path;
        const rgba_image a = read_rgba(path), b = read_rgba(plain);
        EXPECT_EQ(a.rgb, b.rgb) << path;
        EXPECT_EQ(a.alpha, b.alpha) << path;
    }
    EXPECT_EQ(pairs, 15 + 18);  // bas*, plus s01..s09 and s32..s40 sizes
}

TEST(PngSuiteDeathTest, EveryDamagedFileAbortsWithLibpngsMessage) {
    REQUIRE_TESTDATA();
    int damaged = 0;
    for (const fs::path &path : test_support::testdata_files("png")) {
        if (path.filename().string()[0] != 'x') continue;
        ++damaged;
        int w = 0, h = 0;
        int *rgb = nullptr;
        EXPECT_EXIT(read_png_into_rgb_image_arr(path.c_str(), &w, &h, &rgb),
                    testing::KilledBySignal(SIGABRT), "libpng error: ")
            << path;
    }
    EXPECT_EQ(damaged, 14);
}

TEST(PngWriters, RoundTripEveryByteValueAndKeepTheLow8Bits) {
    temp_dir dir;
    const int w = 16, h = 19;  // 256 values, then the out-of-range ones
    std::vector<int> gray(w * h), rgb(3 * w * h), alpha(w * h);
    const int wrapped[3][2] = {{256, 0}, {-1, 255}, {300, 44}};
    std::vector<int> gray_expected(w * h), rgb_expected(3 * w * h);
    for (int p = 0; p < w * h; ++p) {
        const bool extra = p >= 256;
        gray[p] = extra ? wrapped[p % 3][0] : p;
        gray_expected[p] = extra ? wrapped[p % 3][1] : p;
    }
    for (int p = 0; p < w * h; ++p) {
        alpha[p] = gray[(p * 7) % (w * h)];
        for (int c = 0; c < 3; ++c) {
            rgb[3 * p + c] = gray[(p * (c + 1) * 37) % (w * h)];
            rgb_expected[3 * p + c] = gray_expected[(p * (c + 1) * 37) % (w * h)];
        }
    }
    write_image_arr_into_png((dir / "gray.png").c_str(), w, h, gray.data());
    write_rgb_image_arr_into_png((dir / "rgb.png").c_str(), w, h, rgb.data());
    write_rgba_image_arr_into_png((dir / "rgba.png").c_str(), w, h, rgb.data(), alpha.data());

    EXPECT_EQ(header_of(dir / "gray.png"), (std::vector<int>{2, 8, PNG_INTERLACE_NONE}));
    EXPECT_EQ(header_of(dir / "rgb.png"), (std::vector<int>{2, 8, PNG_INTERLACE_NONE}));
    EXPECT_EQ(header_of(dir / "rgba.png"), (std::vector<int>{6, 8, PNG_INTERLACE_NONE}));
    int rw = 0, rh = 0;
    EXPECT_EQ(read_with(read_png_into_image_arr, dir / "gray.png", 1, &rw, &rh), gray_expected);
    EXPECT_EQ(rw, w);
    EXPECT_EQ(rh, h);
    const rgba_image g = read_rgba(dir / "gray.png");
    for (int p = 0; p < w * h; ++p) ASSERT_EQ(g.rgb[3 * p + 2], gray_expected[p]) << p;
    EXPECT_EQ(g.alpha, std::vector<int>(w * h, 255));
    EXPECT_EQ(read_with(read_png_into_rgb_image_arr, dir / "rgb.png", 3, &rw, &rh), rgb_expected);
    const rgba_image c = read_rgba(dir / "rgba.png");
    EXPECT_EQ(c.rgb, rgb_expected);  // alpha is not composited into colour
    for (int p = 0; p < w * h; ++p) ASSERT_EQ(c.alpha[p], gray_expected[(p * 7) % (w * h)]) << p;
    EXPECT_EQ(read_with(read_png_into_rgb_image_arr, dir / "rgba.png", 3, &rw, &rh), rgb_expected);
}

TEST(PngReaders, GrayReaderTakesRedAndIgnoresWhatFollowsTheImageData) {
    temp_dir dir;
    const int pixel[3] = {10, 200, 30};
    write_rgb_image_arr_into_png((dir / "a.png").c_str(), 1, 1, pixel);
    // Without its end chunk (the last 12 bytes) the file still reads.
    const std::string bytes = test_support::read_file(dir / "a.png");
    ASSERT_EQ(bytes.compare(bytes.size() - 8, 4, "IEND"), 0);
    test_support::write_file(dir / "cut.png", bytes.substr(0, bytes.size() - 12));
    for (const char *name : {"a.png", "cut.png"}) {
        int w = 0, h = 0;
        EXPECT_EQ(read_with(read_png_into_image_arr, dir / name, 1, &w, &h), std::vector<int>{10});
    }
}

TEST(PngCodecDeathTest, FailuresEndAbnormally) {
    temp_dir dir;
    const std::string missing = (dir / "missing.png").string();
    const std::string nowhere = (dir / "no_dir" / "out.png").string();
    const std::string not_png = (dir / "text.png").string();
    test_support::write_file(not_png, "this is not a PNG file at all");
    const int px[4] = {1, 2, 3, 4};
    int w = 0, h = 0, *arr = nullptr;
    EXPECT_EXIT(read_png_into_image_arr(missing.c_str(), &w, &h, &arr),
                testing::KilledBySignal(SIGABRT), "cannot open \".*missing.png\" for reading");
    EXPECT_EXIT(read_png_into_image_arr(not_png.c_str(), &w, &h, &arr),
                testing::KilledBySignal(SIGABRT), "libpng error: Not a PNG file");
    EXPECT_EXIT(write_image_arr_into_png(nowhere.c_str(), 1, 1, px),
                testing::KilledBySignal(SIGABRT), "cannot open \".*out.png\" for writing");
    // A failed final flush is a failed write, not a silent success.
    EXPECT_EXIT(write_rgb_image_arr_into_png("/dev/full", 1, 1, px),
                testing::KilledBySignal(SIGABRT), "cannot write \"/dev/full\"|Write Error");
    // A refused size leaves neither a new file nor a changed old one.
    for (const auto &[width, height] : {std::pair{0, 1}, std::pair{1, 0}}) {
        const std::string out = (dir / "empty.png").string();
        const std::string kept = (dir / "kept.png").string();
        test_support::write_file(kept, "the previous file");
        EXPECT_EXIT(write_rgba_image_arr_into_png(out.c_str(), width, height, px, px),
                    testing::KilledBySignal(SIGABRT), "libpng error: Invalid IHDR data");
        EXPECT_EXIT(write_rgba_image_arr_into_png(kept.c_str(), width, height, px, px),
                    testing::KilledBySignal(SIGABRT), "libpng error: Invalid IHDR data");
        EXPECT_FALSE(fs::exists(out));
        EXPECT_EQ(test_support::read_file(kept), "the previous file");
    }

    // A valid header of 50000 x 50000 pixels, followed by the start of the
    // image data: the reader refuses it before sizing any array.
    const std::string huge = (dir / "huge.png").string();
    std::FILE *fp = std::fopen(huge.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, fp);
    png_set_IHDR(png, info, 50000, 50000, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_destroy_write_struct(&png, &info);
    std::fwrite("\0\0\0\0IDAT", 1, 8, fp);
    std::fclose(fp);
    EXPECT_EXIT(read_png_into_image_arr(huge.c_str(), &w, &h, &arr),
                testing::KilledBySignal(SIGABRT),
                "\"" + huge + "\": 50000 x 50000 pixels is too large");
}

TEST(PngCli, PngAndTiffMixFreelyInOneRun) {
    const int w = 20, h = 15;
    std::vector<int> rgb(3 * w * h), disp(w * h);
    for (int p = 0; p < w * h; ++p) {
        const bool left = p % w < w / 2;
        for (int c = 0; c < 3; ++c) rgb[3 * p + c] = (left ? 40 : 200) + (p * (c + 3)) % 13;
        disp[p] = p % 7 == 0 ? (p * 31) % 256 : (left ? 30 : 120);
    }
    std::vector<int> expected = disp;
    smooth_disparity_weighted_median(w, h, rgb.data(), expected.data(), 0, 255, 3, 5.0, 20.0);
    temp_dir dir;
    write_rgb_image_arr_into_png((dir / "ref.png").c_str(), w, h, rgb.data());
    write_image_arr_into_tiff((dir / "disp.tif").c_str(), w, h, disp.data());
    write_image_arr_into_png((dir / "disp.PNG").c_str(), w, h, disp.data());
    write_rgb_image_arr_into_tiff((dir / "ref.tif").c_str(), w, h, rgb.data());
    const char *runs[2][3] = {{"ref.png", "disp.tif", "out.png"},
                              {"ref.tif", "disp.PNG", "out.PNG"}};
    for (const auto &run : runs) {
        test_support::write_parameter_file(
            dir.path(), std::string(run[0]) + " " + run[1] + " 3 5 20 " + run[2] + "\n");
        const test_support::run_result r = test_support::run_tool(dir.path());
        EXPECT_TRUE(r.exited && r.exit_status == 0) << r.err;
        int ow = 0, oh = 0;
        EXPECT_EQ(read_with(read_png_into_image_arr, dir / run[2], 1, &ow, &oh), expected)
            << run[2];
        EXPECT_EQ(header_of(dir / run[2])[0], PNG_COLOR_TYPE_RGB);
    }
}

}  // namespace
