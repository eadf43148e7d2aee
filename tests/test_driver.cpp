// The driver's parameter-file reader and extension table, in process.  The
// token layout, the echo and the messages for missing parameters are checked
// end to end in test_cli.
#include "dispsmooth/driver.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

using test_support::temp_dir;

struct read_outcome {
    bool ok;
    run_parameters params;
    std::string out;
    std::string err;
};

read_outcome read_text(const std::string &text) {
    temp_dir dir;
    test_support::write_parameter_file(dir.path(), text);
    read_outcome r;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    r.ok = read_parameter_file((dir / "kelv_input.txt").c_str(), &r.params);
    r.out = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

TEST(ReadParameterFile, NumbersAreScannedAsFormattedInputWouldScanThem) {
    // A sign is allowed, leading zeros are decimal, a number ends at the
    // first character that cannot continue it, and %g echoes the value.
    read_outcome r = read_text("a.tif b.tif +007 1e1 .5 c.tif");
    ASSERT_TRUE(r.ok) << r.err;
    EXPECT_EQ(r.params.radius, 7);
    EXPECT_NE(r.out.find("radius = 7\nsigma_space = 10\nsigma_color = 0.5\n"), std::string::npos);

    r = read_text("a.tif b.tif 3x 2 4 c.tif");  // "x" is left for sigma_space
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.out.find("radius = 3\n"), std::string::npos);
    EXPECT_NE(r.err.find("cannot read parameter 4 (sigma_space"), std::string::npos) << r.err;

    r = read_text("a.tif b.tif -2147483648 1 1 c.tif");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.params.radius, INT_MIN);
    r = read_text("a.tif b.tif 2147483647 1 1 c.tif");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.params.radius, INT_MAX);
}

TEST(ReadParameterFile, RefusesARadiusOutsideTheIntRange) {
    for (const char *radius : {"2147483648", "-2147483649", "99999999999999999999999"}) {
        const read_outcome r = read_text(std::string("a.tif b.tif ") + radius + " 1 1 c.tif");
        EXPECT_FALSE(r.ok) << radius;
        EXPECT_EQ(r.out, "reference image = a.tif\ndisparity map = b.tif\n");
        EXPECT_NE(r.err.find(std::string("parameter 3 (radius) ") + radius +
                             " is outside the range of an int"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.rfind("dispsmooth: ", 0), 0u);
    }
}

TEST(ReadParameterFile, ReportsAFileThatOpensButCannotBeRead) {
    temp_dir dir;
    run_parameters params;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(read_parameter_file(dir.path().c_str(), &params));  // a directory
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(
        testing::internal::GetCapturedStderr(),
        "dispsmooth: cannot read parameter file \"" + dir.path().string() + "\": Is a directory\n");
}

TEST(CodecForFilename, TheLastDotChoosesAndOnlyTheTenTableFormsAreKnown) {
    const struct {
        const char *name;
        const char *codec;
    } known[] = {
        {"a.tiff", "TIFF"},       {"a.TIFF", "TIFF"},         {"a.tif", "TIFF"},
        {"a.TIF", "TIFF"},        {"a.png", "PNG"},           {"a.PNG", "PNG"},
        {"a.jpeg", "JPEG"},       {"a.JPEG", "JPEG"},         {"a.jpg", "JPEG"},
        {"a.JPG", "JPEG"},        {"scene.left.tif", "TIFF"}, {"x.png.jpg", "JPEG"},
        {"./dir.x/a.png", "PNG"},
    };
    for (const auto &k : known) {
        const image_codec *codec = codec_for_filename(k.name);
        ASSERT_NE(codec, nullptr) << k.name;
        EXPECT_STREQ(codec->name, k.codec) << k.name;
    }
    for (const char *name : {"a.Tif", "a.Tiff", "a.Png", "a.Jpg", "a.Jpeg", "a.pNG", "a.tif.bmp",
                             "a.bmp", "tif", "a", "a.", ".", "a.tiff2", "a.jpe", "dir.tif/a"}) {
        EXPECT_EQ(codec_for_filename(name), nullptr) << name;
    }
}

}  // namespace
