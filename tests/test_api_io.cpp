// The error-reporting interface's image reading and writing: the tool's
// codecs chosen by extension, whose every failure is an exception carrying
// the library's and the tool's words, after which the process goes on with
// nothing left behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "dispsmooth/dispsmooth.hpp"
#include "tests/support.h"

namespace {

namespace fs = std::filesystem;
using test_support::temp_dir;
using test_support::write_file;

dispsmooth::gray_image ramp(int width, int height) {
    dispsmooth::gray_image image;
    image.width = width;
    image.height = height;
    for (int i = 0; i < width * height; ++i) image.pixels.push_back((i * 37) % 300);
    return image;
}

// The message of the exception that call throws, which must be of type E.
template <class E, class F>
std::string thrown_message(F call) {
    try {
        call();
    } catch (const E &e) {
        return e.what();
    }
    ADD_FAILURE() << "nothing thrown";
    return {};
}

// Nothing but the expected files in dir: no temporary file of a writer.
std::vector<std::string> names_in(const fs::path &dir) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    return names;
}

TEST(ApiIo, GrayRoundTripsKeepTheLowByteInEveryFormat) {
    temp_dir dir;
    const dispsmooth::gray_image image = ramp(13, 7);
    for (const char *name : {"a.tif", "a.TIFF", "a.png", "a.PNG"}) {
        const std::string path = (dir.path() / name).string();
        dispsmooth::write_image(path, image);
        const dispsmooth::gray_image back = dispsmooth::read_gray_image(path);
        ASSERT_EQ(back.width, 13);
        ASSERT_EQ(back.height, 7);
        for (std::size_t i = 0; i < back.pixels.size(); ++i)
            ASSERT_EQ(back.pixels[i], image.pixels[i] & 0xff) << name << " pixel " << i;
        const dispsmooth::rgb_image rgb = dispsmooth::read_rgb_image(path);
        ASSERT_EQ(rgb.samples.size(), 3 * back.pixels.size());
        EXPECT_EQ(rgb.samples[3], back.pixels[1]);
        EXPECT_EQ(rgb.samples[5], back.pixels[1]);
    }
    // JPEG is lossy: the written file reads back close to the image.
    const std::string jpeg = (dir.path() / "a.jpg").string();
    dispsmooth::gray_image flat = ramp(16, 16);
    for (int &v : flat.pixels) v = 120;
    dispsmooth::write_image(jpeg, flat);
    const dispsmooth::gray_image back = dispsmooth::read_gray_image(jpeg);
    for (int v : back.pixels) ASSERT_NEAR(v, 120, 2);
    EXPECT_EQ(names_in(dir.path()).size(), 5u);
}

TEST(ApiIo, ReadsAsTheToolDoes) {
    const fs::path scene = fs::path(DISPSMOOTH_SOURCE_DIR) / "examples" / "scene";
    const dispsmooth::rgb_image reference =
        dispsmooth::read_rgb_image((scene / "reference.png").string());
    EXPECT_GT(reference.width, 0);
    EXPECT_EQ(reference.samples.size(),
              3u * static_cast<std::size_t>(reference.width) * reference.height);
}

TEST(ApiIo, EveryFailureThrowsTheToolsWordsAndLeavesNothingBehind) {
    temp_dir dir;
    const dispsmooth::gray_image image = ramp(4, 3);

    EXPECT_EQ(thrown_message<dispsmooth::error>(
                  [&] { dispsmooth::write_image((dir.path() / "a.bmp").string(), image); }),
              "Filename extension for " + (dir.path() / "a.bmp").string() +
                  " not recognized!\nSupported: tiff, TIFF, tif, TIF, png, PNG, jpeg, JPEG, jpg, "
                  "JPG");
    EXPECT_NE(thrown_message<dispsmooth::error>([] {
                  dispsmooth::read_gray_image("noext");
              }).find("Filename extension for noext not recognized!"),
              std::string::npos);

    const std::string missing = (dir.path() / "missing.png").string();
    EXPECT_NE(thrown_message<dispsmooth::file_error>([&] {
                  dispsmooth::read_rgb_image(missing);
              }).find("dispsmooth: cannot open \"" + missing + "\" for reading: "),
              std::string::npos);
    EXPECT_EQ(thrown_message<dispsmooth::file_error>(
                  [&] { dispsmooth::read_rgb_image((dir.path() / "missing.jpg").string()); }),
              "can't open " + (dir.path() / "missing.jpg").string());
    EXPECT_NE(thrown_message<dispsmooth::file_error>([&] {
                  dispsmooth::read_rgb_image((dir.path() / "missing.tif").string());
              }).find("dispsmooth: cannot read TIFF image"),
              std::string::npos);

    // Damaged files: the library's message, then the tool's line.
    const std::string png = (dir.path() / "bad.png").string();
    write_file(png, "not a PNG at all");
    EXPECT_EQ(thrown_message<dispsmooth::file_error>([&] { dispsmooth::read_gray_image(png); }),
              "libpng error: Not a PNG file\ndispsmooth: cannot read PNG image \"" + png + "\"");
    const std::string jpg = (dir.path() / "bad.jpg").string();
    write_file(jpg, "not a JPEG at all");
    const std::string jpeg_message =
        thrown_message<dispsmooth::file_error>([&] { dispsmooth::read_gray_image(jpg); });
    EXPECT_NE(jpeg_message.find("Not a JPEG file"), std::string::npos) << jpeg_message;
    EXPECT_NE(jpeg_message.find("\ndispsmooth: cannot read JPEG image \"" + jpg + "\""),
              std::string::npos);
    const std::string tif = (dir.path() / "bad.tif").string();
    write_file(tif, "II*\0garbage that is no directory");
    EXPECT_NE(thrown_message<dispsmooth::file_error>([&] {
                  dispsmooth::read_gray_image(tif);
              }).find("dispsmooth: cannot read TIFF image \"" + tif + "\""),
              std::string::npos);

    // Writes into a missing directory, in each format.
    const fs::path nowhere = dir.path() / "no" / "such";
    EXPECT_NE(thrown_message<dispsmooth::file_error>([&] {
                  dispsmooth::write_image((nowhere / "o.png").string(), image);
              }).find("for writing: No such file or directory"),
              std::string::npos);
    EXPECT_NE(thrown_message<dispsmooth::file_error>([&] {
                  dispsmooth::write_image((nowhere / "o.tif").string(), image);
              }).find("dispsmooth: cannot create TIFF image"),
              std::string::npos);
    EXPECT_EQ(thrown_message<dispsmooth::file_error>(
                  [&] { dispsmooth::write_image((nowhere / "o.jpg").string(), image); }),
              "can't open " + (nowhere / "o.jpg").string());

    // Sizes the writers refuse: an empty image, a pixel count that is not
    // the size's.
    const dispsmooth::gray_image empty;
    EXPECT_NE(thrown_message<dispsmooth::error>([&] {
                  dispsmooth::write_image((dir.path() / "e.png").string(), empty);
              }).find("libpng error: Invalid IHDR data"),
              std::string::npos);
    EXPECT_EQ(thrown_message<dispsmooth::error>(
                  [&] { dispsmooth::write_image((dir.path() / "e.tif").string(), empty); }),
              "dispsmooth: cannot write TIFF image \"" + (dir.path() / "e.tif").string() +
                  "\": invalid size 0 x 0");
    dispsmooth::gray_image short_one = image;
    short_one.pixels.pop_back();
    EXPECT_THROW(dispsmooth::write_image((dir.path() / "s.png").string(), short_one),
                 dispsmooth::error);

    // Only the damaged inputs remain: no output, no temporary file.
    EXPECT_EQ(names_in(dir.path()).size(), 3u);
}

}  // namespace
