// JPEG codec: the shared JPEG files against an independent decoder, the
// refusals, and round trips through the writers.
#include "dispsmooth/jpeg_codec.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <jpeglib.h>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_JPEG
#include <stb/stb_image.h>

namespace {

namespace fs = std::filesystem;
using test_support::temp_dir;

struct image {
    int w = 0;
    int h = 0;
    std::vector<int> v;
};

image take(int w, int h, int *arr, int channels) {
    image im{w, h, std::vector<int>(arr, arr + static_cast<std::size_t>(w) * h * channels)};
    std::free(arr);
    return im;
}

image read_rgb(const fs::path &p) {
    int w = 0, h = 0, *arr = nullptr;
    read_jpeg_into_rgb_image_arr(p.c_str(), &w, &h, &arr);
    return take(w, h, arr, 3);
}

image read_gray(const fs::path &p) {
    int w = 0, h = 0, *arr = nullptr;
    read_jpeg_into_image_arr(p.c_str(), &w, &h, &arr);
    return take(w, h, arr, 1);
}

// Width and height of the files that decode, as their headers give them.
const std::map<std::string, std::pair<int, int>> readable = {
    {"jpeg-decoder/extraneous-data.jpg", {16, 16}},
    {"jpeg-decoder/grayscale_large.jpg", {1000, 1}},
    {"jpeg-decoder/non-interleaved-mcu.jpg", {64, 16}},
    {"jpeg-decoder/restarts.jpg", {33, 33}},
    {"libjpeg-turbo/testimgari.jpg", {227, 149}},
    {"libjpeg-turbo/testimggray.jpg", {227, 149}},
    {"libjpeg-turbo/testimgint.jpg", {227, 149}},
    {"libjpeg-turbo/testimgp.jpg", {227, 149}},
    {"libjpeg-turbo/testorig.jpg", {227, 149}},
    {"mozilla/jpg-gray.jpg", {32, 32}},
    {"mozilla/jpg-progressive.jpg", {32, 32}},
    {"mozilla/jpg-size-15x15.jpg", {15, 15}},
    {"mozilla/jpg-size-17x17.jpg", {17, 17}},
    {"mozilla/jpg-size-1x1.jpg", {1, 1}},
    {"mozilla/jpg-size-33x33.jpg", {33, 33}},
    {"mozilla/jpg-srgb-icc.jpg", {1, 1}},
};
const std::set<std::string> greyscale = {"jpeg-decoder/grayscale_large.jpg",
                                         "libjpeg-turbo/testimggray.jpg", "mozilla/jpg-gray.jpg",
                                         "mozilla/jpg-srgb-icc.jpg"};

// The message each refused file ends with.
const std::map<std::string, std::string> refused = {
    {"mozilla/jpg-cmyk-1.jpg", "is a CMYK JPEG; only colour and greyscale"},
    {"mozilla/jpg-cmyk-2.jpg", "is a CMYK JPEG; only colour and greyscale"},
    {"jpeg-decoder/ycck.jpg", "is a YCCK JPEG; only colour and greyscale"},
    {"libjpeg-turbo/monkey12.jpg", "Unsupported JPEG data precision 12"},
    {"damaged/empty.jpg", "Empty input file"},
    {"damaged/invalid-dimensions.jpg", "Empty JPEG image \\(DNL not supported\\)"},
    {"damaged/null_height.jpg", "Empty JPEG image \\(DNL not supported\\)"},
    {"damaged/missing-frame-image-1410.jpg", "JPEG datastream contains no image"},
    {"damaged/missing-sof.jpg", "JPEG datastream contains no image"},
    {"damaged/missing-sos.jpg", "missing SOS marker"},
};

TEST(JpegRead, SharedFilesMatchAnIndependentDecoder) {
    REQUIRE_TESTDATA();
    const fs::path root = test_support::testdata_dir() / "jpeg";
    for (const fs::path &p : test_support::testdata_files("jpeg")) {
        const std::string name = fs::relative(p, root).string();
        EXPECT_TRUE(readable.count(name) + refused.count(name) == 1) << name << " is not listed";
    }
    for (const auto &[name, size] : readable) {
        SCOPED_TRACE(name);
        const fs::path p = root / name;
        const image rgb = read_rgb(p);
        ASSERT_EQ(rgb.w, size.first);
        ASSERT_EQ(rgb.h, size.second);
        const image gray = read_gray(p);
        ASSERT_EQ(gray.v.size(), rgb.v.size() / 3);
        for (std::size_t i = 0; i < gray.v.size(); i++) {
            ASSERT_EQ(gray.v[i], rgb.v[3 * i]);
            if (greyscale.count(name)) {
                ASSERT_EQ(rgb.v[3 * i + 1], rgb.v[3 * i]);
                ASSERT_EQ(rgb.v[3 * i + 2], rgb.v[3 * i]);
            }
        }

        int w = 0, h = 0, n = 0;
        unsigned char *ref = stbi_load(p.c_str(), &w, &h, &n, 3);
        if (ref == nullptr) continue;  // arithmetic coding: compared below
        ASSERT_EQ(w, rgb.w);
        ASSERT_EQ(h, rgb.h);
        int max_diff = 0;
        double sum = 0;
        for (std::size_t i = 0; i < rgb.v.size(); i++) {
            ASSERT_GE(rgb.v[i], 0);
            ASSERT_LE(rgb.v[i], 255);
            const int d = std::abs(rgb.v[i] - ref[i]);
            max_diff = std::max(max_diff, d);
            sum += d;
        }
        stbi_image_free(ref);
        const double mean = sum / static_cast<double>(rgb.v.size());
        std::printf("  %-40s max %3d mean %.3f\n", name.c_str(), max_diff, mean);
        // The two decoders round their integer IDCTs, chroma upsampling and
        // colour conversion differently, by at most 3 levels on these files
        // (mean below 0.15); swapped channels or shifted rows differ by tens.
        EXPECT_LE(max_diff, 6);
        EXPECT_LT(mean, 0.5);
    }
    // stb has no arithmetic decoding; this file holds the same coefficients
    // as its Huffman-coded twin, so it must decode to the same pixels.
    EXPECT_EQ(read_rgb(root / "libjpeg-turbo/testimgari.jpg").v,
              read_rgb(root / "libjpeg-turbo/testimgint.jpg").v);
}

TEST(JpegReadDeathTest, RefusedFilesEndAbnormallyWithAMessage) {
    REQUIRE_TESTDATA();
    const fs::path root = test_support::testdata_dir() / "jpeg";
    for (const auto &[name, message] : refused) {
        SCOPED_TRACE(name);
        const fs::path p = root / name;
        EXPECT_EXIT(read_rgb(p), testing::KilledBySignal(SIGABRT), message);
        EXPECT_EXIT(read_gray(p), testing::KilledBySignal(SIGABRT), message);
    }
}

TEST(JpegReadDeathTest, MissingOrForeignInputsEndAbnormally) {
    temp_dir dir;
    const fs::path missing = dir / "missing.jpg";
    EXPECT_EXIT(read_rgb(missing), testing::KilledBySignal(SIGABRT), "can't open .*missing.jpg\n");
    EXPECT_EXIT(read_gray(missing), testing::KilledBySignal(SIGABRT), "can't open .*missing.jpg\n");

    const fs::path png = dir / "png.jpg";
    test_support::write_file(png, std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
    EXPECT_EXIT(read_rgb(png), testing::KilledBySignal(SIGABRT), "Not a JPEG file");

    // A header that claims 65500 x 65500 pixels: more than an int can index.
    const fs::path huge = dir / "huge.jpg";
    const int small[16 * 16] = {};
    write_image_arr_into_jpeg(huge.c_str(), 16, 16, small);
    std::string bytes = test_support::read_file(huge);
    const std::size_t sof = bytes.find("\xff\xc0");
    ASSERT_NE(sof, std::string::npos);
    bytes.replace(sof + 5, 4, "\xff\xdc\xff\xdc");
    test_support::write_file(huge, bytes);
    EXPECT_EXIT(read_rgb(huge), testing::KilledBySignal(SIGABRT),
                "dispsmooth: \".*huge.jpg\" is too large: 65500 x 65500 pixels");
}

int header_components(const fs::path &p) {
    FILE *f = std::fopen(p.c_str(), "rb");
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    const int n = cinfo.num_components;
    jpeg_destroy_decompress(&cinfo);
    std::fclose(f);
    return n;
}

TEST(JpegWrite, GrayImagesBecomeThreeComponentFilesNearTheWrittenValues) {
    temp_dir dir;
    const fs::path p = dir / "ramp.jpg";
    const int w = 40, h = 24;
    std::vector<int> ramp(w * h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) ramp[y * w + x] = 20 + 4 * x + 2 * y;
    write_image_arr_into_jpeg(p.c_str(), w, h, ramp.data());
    EXPECT_EQ(header_components(p), 3);
    const image rgb = read_rgb(p);
    ASSERT_EQ(rgb.w, w);
    ASSERT_EQ(rgb.h, h);
    for (int i = 0; i < w * h; i++) {
        EXPECT_NEAR(rgb.v[3 * i], ramp[i], 4) << i;
        EXPECT_NEAR(rgb.v[3 * i + 1], rgb.v[3 * i], 2) << i;
        EXPECT_NEAR(rgb.v[3 * i + 2], rgb.v[3 * i], 2) << i;
    }
}

TEST(JpegWrite, KeepsTheLow8BitsOfEverySample) {
    temp_dir dir;
    const fs::path p = dir / "flat.jpg";
    for (const auto &[value, stored] : std::map<int, int>{{256, 0}, {-1, 255}, {300, 44}}) {
        const std::vector<int> flat(16 * 8, value);
        write_image_arr_into_jpeg(p.c_str(), 16, 8, flat.data());
        for (int v : read_gray(p).v) ASSERT_NEAR(v, stored, 1) << value;
    }
    const std::vector<int> rgb = {300, -1, 256};
    std::vector<int> flat;
    for (int i = 0; i < 64; i++) flat.insert(flat.end(), rgb.begin(), rgb.end());
    write_rgb_image_arr_into_jpeg(p.c_str(), 8, 8, flat.data());
    const image back = read_rgb(p);
    for (int i = 0; i < 64; i++) {
        ASSERT_NEAR(back.v[3 * i], 44, 3);
        ASSERT_NEAR(back.v[3 * i + 1], 255, 3);
        ASSERT_NEAR(back.v[3 * i + 2], 0, 3);
    }
}

TEST(JpegWrite, RowZeroIsTheTopScanlineAndGrayKeepsRed) {
    temp_dir dir;
    const fs::path p = dir / "halves.jpg";
    std::vector<int> halves(16 * 16, 0);
    for (int i = 16 * 8; i < 16 * 16; i++) halves[i] = 255;
    write_image_arr_into_jpeg(p.c_str(), 16, 16, halves.data());
    const image gray = read_gray(p);
    for (int x = 0; x < 16; x++) {
        EXPECT_LE(gray.v[x], 8);
        EXPECT_GE(gray.v[15 * 16 + x], 247);
    }

    const fs::path blue = dir / "blue.jpg";
    std::vector<int> pixels;
    for (int i = 0; i < 64; i++) pixels.insert(pixels.end(), {0, 0, 255});
    write_rgb_image_arr_into_jpeg(blue.c_str(), 8, 8, pixels.data());
    for (int v : read_gray(blue).v) EXPECT_LE(v, 3);
    for (int i = 0; i < 64; i++) EXPECT_GE(read_rgb(blue).v[3 * i + 2], 250);
}

TEST(JpegWriteDeathTest, FailedWritesExitWithStatus1) {
    temp_dir dir;
    const int pixels[4] = {1, 2, 3, 4};
    const fs::path out = dir / "no-such-dir" / "out.jpg";
    EXPECT_EXIT(write_image_arr_into_jpeg(out.c_str(), 2, 2, pixels), testing::ExitedWithCode(1),
                "can't open .*no-such-dir/out.jpg\n");
    EXPECT_EXIT(write_rgb_image_arr_into_jpeg(out.c_str(), 1, 1, pixels),
                testing::ExitedWithCode(1), "can't open .*no-such-dir/out.jpg\n");
    EXPECT_FALSE(fs::exists(out.parent_path()));

    const fs::path p = dir / "bad.jpg";
    EXPECT_EXIT(write_image_arr_into_jpeg(p.c_str(), 0, 5, pixels), testing::ExitedWithCode(1),
                "cannot write \".*bad.jpg\": a JPEG image is 1 to 65500 pixels");
    EXPECT_EXIT(write_image_arr_into_jpeg(p.c_str(), 60000, 60000, pixels),
                testing::ExitedWithCode(1), "cannot write \".*bad.jpg\": 60000 x 60000 pixels");
    EXPECT_FALSE(fs::exists(p));

    if (fs::exists("/dev/full")) {
        std::vector<int> noise(256 * 256);
        for (std::size_t i = 0; i < noise.size(); i++) noise[i] = static_cast<int>(i * 7919 % 251);
        EXPECT_EXIT(write_image_arr_into_jpeg("/dev/full", 256, 256, noise.data()),
                    testing::ExitedWithCode(1), "Output file write error");
    }
}

}  // namespace
