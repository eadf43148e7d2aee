// The driver's parameter-file reader and extension table, in process.
#include "dispsmooth/driver.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
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

TEST(ReadParameterFile, ReadsSixTokensWhateverTheWhitespaceAndEchoesEach) {
    const read_outcome line = read_text("ref.tif disp.tif 5 9 25.5 out.tif\n");
    const read_outcome lines = read_text("\n  ref.tif\r\n\tdisp.tif\n5\n\n9\v25.5\fout.tif");
    ASSERT_TRUE(line.ok);
    ASSERT_TRUE(lines.ok);
    const std::string echo =
        "reference image = ref.tif\ndisparity map = disp.tif\nradius = 5\nsigma_space = 9\n"
        "sigma_color = 25.5\nsmoothed disparity map = out.tif\n";
    EXPECT_EQ(line.out, echo);
    EXPECT_EQ(lines.out, echo);
    EXPECT_EQ(line.err, "");
    EXPECT_EQ(lines.params.filename_image, "ref.tif");
    EXPECT_EQ(lines.params.filename_disp, "disp.tif");
    EXPECT_EQ(lines.params.radius, 5);
    EXPECT_EQ(lines.params.sigma_space, 9.0);
    EXPECT_EQ(lines.params.sigma_color, 25.5);
    EXPECT_EQ(lines.params.filename_disp_smooth, "out.tif");
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

TEST(ReadParameterFile, NamesTheFirstParameterThatIsMissingOrMalformed) {
    const std::string tokens[] = {"r.tif", "d.tif", "5", "9", "25.5", "o.tif"};
    const char *what[] = {"reference image file name", "disparity map file name",
                          "radius, an integer", "sigma_space, a number", "sigma_color, a number",
                          "smoothed disparity map file name"};
    for (int missing = 0; missing < 6; ++missing) {
        std::string text;
        for (int k = 0; k < missing; ++k) text += tokens[k] + "\n";
        const read_outcome r = read_text(text);
        EXPECT_FALSE(r.ok);
        // The lines echoed before the gap stay.
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), missing);
        EXPECT_NE(r.err.find("kelv_input.txt\": cannot read parameter " +
                             std::to_string(missing + 1) + " (" + what[missing] + ")"),
                  std::string::npos)
            << r.err;
    }
    for (const char *bad : {"r.tif d.tif five 9 25.5 o.tif", "r.tif d.tif - 9 25.5 o.tif"}) {
        const read_outcome r = read_text(bad);
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.err.find("cannot read parameter 3 (radius, an integer)"), std::string::npos);
    }
    const read_outcome r = read_text("r.tif d.tif 5 nine 25.5 o.tif");
    EXPECT_NE(r.err.find("cannot read parameter 4 (sigma_space, a number)"), std::string::npos);
}

TEST(ReadParameterFile, HoldsFileNamesOfAnyLength) {
    const std::string name(300, 'n');
    const read_outcome r = read_text(name + ".tif " + name + ".png 1 1 1 " + name + ".jpg");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.params.filename_image, name + ".tif");
    EXPECT_EQ(r.params.filename_disp, name + ".png");
    EXPECT_EQ(r.params.filename_disp_smooth, name + ".jpg");
}

TEST(ReadParameterFile, ReportsAFileThatCannotBeOpenedOrRead) {
    temp_dir dir;
    run_parameters params;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(read_parameter_file((dir / "kelv_input.txt").c_str(), &params));
    EXPECT_FALSE(read_parameter_file(dir.path().c_str(), &params));  // a directory
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("dispsmooth: cannot open parameter file \"" +
                       (dir / "kelv_input.txt").string() + "\": No such file or directory\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("dispsmooth: cannot read parameter file \"" + dir.path().string() +
                       "\": Is a directory\n"),
              std::string::npos)
        << err;
}

TEST(CodecForFilename, TheLastDotChoosesAndOnlyTheTenTableFormsAreKnown) {
    const struct {
        const char *name;
        const char *codec;
    } known[] = {
        {"a.tiff", "TIFF"}, {"a.TIFF", "TIFF"}, {"a.tif", "TIFF"},        {"a.TIF", "TIFF"},
        {"a.png", "PNG"},   {"a.PNG", "PNG"},   {"a.jpeg", "JPEG"},       {"a.JPEG", "JPEG"},
        {"a.jpg", "JPEG"},  {"a.JPG", "JPEG"},  {"scene.left.tif", "TIFF"}, {"x.png.jpg", "JPEG"},
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
