// TIFF codec: round trips, what the written files hold, orientation,
// refusals, and every shared TIFF test image.
#include "dispsmooth/tiff_codec.h"
#include "tests/support.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test_support::temp_dir;

// What a reader handed back, copied out of the caller-owned arrays (which
// are released here, as every caller must).
struct image {
    int w = 0, h = 0;
    std::vector<int> pixels, alpha;
};

enum class reader { gray, gray_alpha, rgb, rgba };

image read(reader r, const fs::path &p) {
    image im;
    int *arr = nullptr;
    int *alpha = nullptr;
    const char *f = p.c_str();
    if (r == reader::gray) read_tiff_into_image_arr(f, &im.w, &im.h, &arr);
    if (r == reader::gray_alpha) read_tiff_into_image_alpha_arr(f, &im.w, &im.h, &arr, &alpha);
    if (r == reader::rgb) read_tiff_into_rgb_image_arr(f, &im.w, &im.h, &arr);
    if (r == reader::rgba) read_tiff_into_rgba_image_arr(f, &im.w, &im.h, &arr, &alpha);
    const std::size_t pixels = static_cast<std::size_t>(im.w) * static_cast<std::size_t>(im.h);
    const bool colour = r == reader::rgb || r == reader::rgba;
    im.pixels.assign(arr, arr + pixels * (colour ? 3 : 1));
    std::free(arr);
    if (alpha != nullptr) im.alpha.assign(alpha, alpha + pixels);
    std::free(alpha);
    return im;
}

// A written file as libtiff sees it, plus the tags actually present in its
// first directory (libtiff itself invents an ExtraSamples value on reading
// a four-sample RGB file, so presence is checked in the bytes).
struct stored_file {
    std::uint32_t w = 0, h = 0;
    // SamplesPerPixel, BitsPerSample, Photometric, Orientation,
    // PlanarConfiguration, Compression.
    std::vector<std::uint16_t> layout = std::vector<std::uint16_t>(6);
    std::set<unsigned> tags;
    std::vector<unsigned char> samples;  // every scanline, top to bottom
};

unsigned le16(const std::string &b, std::size_t at) {
    return static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8;
}

// Byte offsets of the 12-byte entries of a little-endian file's first directory.
std::vector<std::size_t> ifd_entries(const std::string &bytes) {
    const std::size_t ifd = le16(bytes, 4) | le16(bytes, 6) << 16;
    std::vector<std::size_t> entries;
    for (unsigned i = 0; i < le16(bytes, ifd); ++i) entries.push_back(ifd + 2 + 12 * i);
    return entries;
}

stored_file read_stored(const fs::path &p) {
    stored_file s;
    const std::string bytes = test_support::read_file(p);
    EXPECT_EQ(bytes.substr(0, 4), std::string("II*\0", 4)) << "expected a little-endian TIFF";
    for (const std::size_t entry : ifd_entries(bytes)) s.tags.insert(le16(bytes, entry));

    TIFF *tif = TIFFOpen(p.c_str(), "r");
    if (tif == nullptr) {
        ADD_FAILURE() << "libtiff cannot open " << p;
        return s;
    }
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &s.w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &s.h);
    const ttag_t fields[] = {TIFFTAG_SAMPLESPERPIXEL, TIFFTAG_BITSPERSAMPLE, TIFFTAG_PHOTOMETRIC,
                             TIFFTAG_ORIENTATION,     TIFFTAG_PLANARCONFIG,  TIFFTAG_COMPRESSION};
    for (int i = 0; i < 6; ++i) TIFFGetField(tif, fields[i], &s.layout[i]);
    const auto line = static_cast<std::size_t>(TIFFScanlineSize(tif));
    s.samples.resize(line * s.h);
    for (std::uint32_t row = 0; row < s.h; ++row)
        TIFFReadScanline(tif, &s.samples[line * row], row, 0);
    TIFFClose(tif);
    return s;
}

// The tags a writer sets plus the strip offsets and byte counts libtiff
// adds on its own (its default is one strip, so no RowsPerStrip).
const std::set<unsigned> written_tags = {256, 257, 258, 259, 262, 273, 274, 277, 279, 284};

// A minimal one-strip 8-bit gray TIFF declaring w x h; its pixel data is a
// single byte, enough for the header-level checks that refuse it.
std::string declared_gray_tiff(std::uint32_t w, std::uint32_t h) {
    std::string b("II*\0\x08\0\0\0", 8);
    auto put16 = [&b](unsigned v) {
        b += static_cast<char>(v & 0xFF), b += static_cast<char>(v >> 8 & 0xFF);
    };
    auto put32 = [&](std::uint32_t v) { put16(v & 0xFFFF), put16(v >> 16); };
    const std::uint32_t entries[][3] = {{256, 4, w}, {257, 4, h}, {258, 3, 8},
                                        {259, 3, 1}, {262, 3, 1}, {273, 4, 122},
                                        {277, 3, 1}, {278, 4, h}, {279, 4, 1}};
    put16(9);
    for (const auto &e : entries) put16(e[0]), put16(e[1]), put32(1), put32(e[2]);
    put32(0);
    return b + '\x80';
}

TEST(TiffRoundTrip, GrayKeepsEveryValueInAOneSampleMinIsBlackFile) {
    temp_dir dir;
    const fs::path file = dir / "gray.tif";
    std::vector<int> values(32 * 9);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int>(i % 256);
    write_image_arr_into_tiff(file.c_str(), 32, 9, values.data());

    const image back = read(reader::gray, file);
    EXPECT_EQ(back.w, 32);
    EXPECT_EQ(back.h, 9);
    EXPECT_EQ(back.pixels, values);

    const stored_file s = read_stored(file);
    EXPECT_EQ(s.layout,
              (std::vector<std::uint16_t>{1, 8, PHOTOMETRIC_MINISBLACK, ORIENTATION_TOPLEFT,
                                          PLANARCONFIG_CONTIG, COMPRESSION_NONE}));
    EXPECT_EQ(s.tags, written_tags);
    EXPECT_EQ(std::vector<int>(s.samples.begin(), s.samples.end()), values);
}

TEST(TiffWriters, StoreTheLowEightBitsOfEveryInt) {
    temp_dir dir;
    const int gray[] = {256, -1, 300, INT_MIN, INT_MAX, 511};
    write_image_arr_into_tiff((dir / "g.tif").c_str(), 3, 2, gray);
    EXPECT_EQ(read_stored(dir / "g.tif").samples,
              (std::vector<unsigned char>{0, 255, 44, 0, 255, 255}));

    const int rgb[] = {256, -1, 300, -256, 1000, 7};
    const int alpha[] = {-1, 256};
    write_rgb_image_arr_into_tiff((dir / "c.tif").c_str(), 2, 1, rgb);
    write_rgba_image_arr_into_tiff((dir / "a.tif").c_str(), 1, 2, rgb, alpha);
    EXPECT_EQ(read_stored(dir / "c.tif").samples,
              (std::vector<unsigned char>{0, 255, 44, 255, 0, 232, 7, 255}));
    EXPECT_EQ(read_stored(dir / "a.tif").samples,
              (std::vector<unsigned char>{0, 255, 44, 255, 0, 232, 7, 0}));
}

TEST(TiffRoundTrip, RgbIsWrittenWithAnOpaqueFourthSampleAndReadsBackAsRgbOrAsItsRed) {
    temp_dir dir;
    const fs::path file = dir / "rgb.tif";
    std::vector<int> rgb(3 * 5 * 4);
    for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<int>(i * 37 % 256);
    write_rgb_image_arr_into_tiff(file.c_str(), 5, 4, rgb.data());

    const stored_file s = read_stored(file);
    EXPECT_EQ(s.layout, (std::vector<std::uint16_t>{4, 8, PHOTOMETRIC_RGB, ORIENTATION_TOPLEFT,
                                                    PLANARCONFIG_CONTIG, COMPRESSION_NONE}));
    EXPECT_EQ(s.tags, written_tags);  // in particular no ExtraSamples (338)
    std::vector<unsigned char> samples;
    for (std::size_t i = 0; i < rgb.size(); ++i) {
        samples.push_back(static_cast<unsigned char>(rgb[i]));
        if (i % 3 == 2) samples.push_back(255);
    }
    EXPECT_EQ(s.samples, samples);

    const image back = read(reader::rgb, file);
    EXPECT_EQ(back.w, 5);
    EXPECT_EQ(back.h, 4);
    EXPECT_EQ(back.pixels, rgb);
    std::vector<int> red;
    for (std::size_t i = 0; i < rgb.size(); i += 3) red.push_back(rgb[i]);
    EXPECT_EQ(read(reader::gray, file).pixels, red);  // the red sample, not a luminance
}

TEST(TiffRoundTrip, AlphaWrittenByTheRgbaWriterReadsBackThroughBothAlphaReaders) {
    temp_dir dir;
    const fs::path file = dir / "rgba.tif";
    const std::vector<int> rgb = {10, 20, 30, 40, 50, 60, 70, 80, 90, 200, 210, 220};
    const std::vector<int> alpha = {0, 1, 128, 255};
    write_rgba_image_arr_into_tiff(file.c_str(), 2, 2, rgb.data(), alpha.data());

    const image rgba = read(reader::rgba, file);
    EXPECT_EQ(rgba.w, 2);
    EXPECT_EQ(rgba.h, 2);
    EXPECT_EQ(rgba.pixels, rgb);  // unscaled, even where alpha is 0
    EXPECT_EQ(rgba.alpha, alpha);

    const image gray_alpha = read(reader::gray_alpha, file);
    EXPECT_EQ(gray_alpha.pixels, (std::vector<int>{10, 40, 70, 200}));
    EXPECT_EQ(gray_alpha.alpha, alpha);
    // The gray-only reader drops the alpha but still reads the red sample.
    EXPECT_EQ(read(reader::gray, file).pixels, gray_alpha.pixels);
}

// The picture is stored flipped as orientation o declares (2 mirrored,
// 3 turned, 4 upside down) by the gray writer, and the file's Orientation
// entry is then patched from 1 to o.
TEST(TiffReaders, RowsComeTopRowFirstWhateverOrientationTheFileDeclares) {
    temp_dir dir;
    const int w = 4, h = 3;
    std::vector<int> picture(w * h);
    for (std::size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<int>(i * 20);
    for (int o = ORIENTATION_TOPLEFT; o <= ORIENTATION_BOTLEFT; ++o) {
        const bool mirrored = o == 2 || o == 3, upside_down = o >= 3;
        std::vector<int> stored(picture.size());
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const int from = w * (upside_down ? h - 1 - y : y) + (mirrored ? w - 1 - x : x);
                stored[w * y + x] = picture[from];
            }
        }
        // Built with += : GCC 12 warns falsely (-Wrestrict) on "literal" + std::string&&.
        std::string name = "o";
        name += std::to_string(o);
        name += ".tif";
        const fs::path file = dir / name;
        write_image_arr_into_tiff(file.c_str(), w, h, stored.data());
        std::string bytes = test_support::read_file(file);
        for (const std::size_t entry : ifd_entries(bytes)) {
            if (le16(bytes, entry) == TIFFTAG_ORIENTATION) bytes[entry + 8] = static_cast<char>(o);
        }
        test_support::write_file(file, bytes);
        EXPECT_EQ(read(reader::gray, file).pixels, picture) << "orientation " << o;
    }
}

// The eight samples are separate scans of one text line (about 0.2 % of
// pixels differ between any two).  The RGBA interface undoes flips but not
// transposition, so 5-8 keep their declared 88 x 590 size.
TEST(TiffReaders, OrientationSamplesReadBackAsTheTopLeftOne) {
    REQUIRE_TESTDATA();
    const fs::path dir = test_support::testdata_dir() / "tiff" / "orientation";
    const image top_left = read(reader::gray, dir / "g4_orientation_1.tif");
    ASSERT_EQ(top_left.pixels.size(), 590u * 88);
    for (int o = 2; o <= 8; ++o) {
        const image other =
            read(reader::gray, dir / ("g4_orientation_" + std::to_string(o) + ".tif"));
        EXPECT_EQ(other.w, o < 5 ? 590 : 88) << o;
        EXPECT_EQ(other.h, o < 5 ? 88 : 590) << o;
        if (o >= 5) continue;
        std::size_t same = 0;
        for (std::size_t p = 0; p < other.pixels.size(); ++p)
            same += other.pixels[p] == top_left.pixels[p];
        EXPECT_GT(static_cast<double>(same), 0.99 * static_cast<double>(top_left.pixels.size()))
            << o;
    }
}

TEST(TiffFailures, MissingInputOrUncreatableOutputEndsTheRunWithStatus1) {
    temp_dir dir;
    const fs::path missing = dir / "missing.tif";
    for (const reader r : {reader::gray, reader::gray_alpha, reader::rgb, reader::rgba}) {
        EXPECT_EXIT(read(r, missing), testing::ExitedWithCode(1),
                    "dispsmooth: cannot read TIFF image \".*/missing\\.tif\"");
    }

    const std::string out = (dir / "no-such-dir" / "out.tif").string();
    const char *write_msg = "dispsmooth: cannot create TIFF image \".*/no-such-dir/out\\.tif\"";
    const int pixels[12] = {};
    EXPECT_EXIT(write_image_arr_into_tiff(out.c_str(), 2, 2, pixels), testing::ExitedWithCode(1),
                write_msg);
    EXPECT_EXIT(write_rgb_image_arr_into_tiff(out.c_str(), 2, 2, pixels),
                testing::ExitedWithCode(1), write_msg);
    EXPECT_EXIT(write_rgba_image_arr_into_tiff(out.c_str(), 2, 2, pixels, pixels),
                testing::ExitedWithCode(1), write_msg);
}

// Writes a 64 x 64 gray image into a file limited to 512 bytes.  libtiff
// keeps the image's single strip in memory, so the write fails when the
// strip and the directory are flushed.
void write_beyond_file_size_limit(const fs::path &out) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit fsize = {512, 512};
    setrlimit(RLIMIT_FSIZE, &fsize);
    const std::vector<int> pixels(64 * 64, 7);
    write_image_arr_into_tiff(out.c_str(), 64, 64, pixels.data());
}

TEST(TiffFailures, AFailedWriteIsReportedAndLeavesNoPartialFile) {
    temp_dir dir;
    const fs::path out = dir / "partial.tif";
    EXPECT_EXIT(write_beyond_file_size_limit(out), testing::ExitedWithCode(1),
                "dispsmooth: cannot write TIFF image \".*/partial\\.tif\"");
    EXPECT_FALSE(fs::exists(out));
}

TEST(TiffFailures, ImageSizesWithoutPixelsOrBeyondIntAreRefusedBeforeAnyWork) {
    temp_dir dir;
    const fs::path out = dir / "out.tif";
    const int one = 0;
    EXPECT_EXIT(write_image_arr_into_tiff(out.c_str(), 0, 5, &one), testing::ExitedWithCode(1),
                "cannot write TIFF image \".*/out\\.tif\": invalid size 0 x 5");
    EXPECT_EXIT(write_rgb_image_arr_into_tiff(out.c_str(), 3, -1, &one), testing::ExitedWithCode(1),
                "invalid size 3 x -1");
    // No array behind these: a writer that started packing would crash.
    EXPECT_EXIT(write_image_arr_into_tiff(out.c_str(), 50000, 50000, nullptr),
                testing::ExitedWithCode(1), "\".*/out\\.tif\": 50000 x 50000 pixels is too large");
    EXPECT_EXIT(write_rgba_image_arr_into_tiff(out.c_str(), 30000, 20000, nullptr, nullptr),
                testing::ExitedWithCode(1), "30000 x 20000 pixels is too large");
    EXPECT_EXIT(write_tiff(out.c_str(), nullptr, 4, 4, 3), testing::ExitedWithCode(1),
                "3 samples per pixel");
    EXPECT_FALSE(fs::exists(out));

    test_support::write_file(dir / "huge.tif", declared_gray_tiff(60000, 60000));
    EXPECT_EXIT(read(reader::gray, dir / "huge.tif"), testing::ExitedWithCode(1),
                "TIFF image \".*/huge\\.tif\" is too large \\(60000 x 60000 pixels\\)");
    // 200 M pixels fit a gray array (800 MB) but not an RGB one (2.4 GB).
    test_support::write_file(dir / "wide.tif", declared_gray_tiff(20000, 10000));
    EXPECT_EXIT(read(reader::rgb, dir / "wide.tif"), testing::ExitedWithCode(1),
                "TIFF image \".*/wide\\.tif\" is too large \\(20000 x 10000 pixels\\)");
    // 400 M pixels would fit a gray array, but a header alone must not make
    // the reader allocate gigabytes: above 2^28 pixels nothing is decoded.
    test_support::write_file(dir / "square.tif", declared_gray_tiff(20000, 20000));
    EXPECT_EXIT(read(reader::gray, dir / "square.tif"), testing::ExitedWithCode(1),
                "TIFF image \".*/square\\.tif\" is too large \\(20000 x 20000 pixels\\)");
    // libtiff itself refuses to open an image without pixels.
    test_support::write_file(dir / "empty.tif", declared_gray_tiff(0, 7));
    EXPECT_EXIT(read(reader::gray, dir / "empty.tif"), testing::ExitedWithCode(1),
                "dispsmooth: cannot read TIFF image \".*/empty\\.tif\"");
}

// The shared files libtiff 4.5's RGBA interface cannot decode (or open)
// without an error.
std::set<std::string> undecodable() {
    std::set<std::string> names = {
        "damaged/fuzz-divide_by_zero-000000.tiff", "damaged/fuzz-oom_crash-000021.tiff",
        "damaged/fuzz-inf_loop-000028.tiff", "image-tiff/minisblack-1c-3b.tiff",
        "image-tiff/miniswhite-1c-6b.tiff", "libtiff/test_float64_predictor2_be_lzw.tif",
        "libtiff/test_float64_predictor2_le_lzw.tif", "libtiffpic/caspian.tif",
        "libtiffpic/flower-separated-contig-16.tif", "libtiffpic/flower-separated-planar-16.tif",
        "libtiffpic/flower-minisblack-06.tif", "libtiffpic/flower-rgb-contig-02.tif",
        "libtiffpic/flower-rgb-contig-04.tif", "libtiffpic/flower-rgb-planar-02.tif",
        "libtiffpic/flower-rgb-planar-04.tif",
        // Decoded only with libtiff's errors: a strip whose data runs out.
        "libtiff/testfax3_bug_513.tiff", "libtiffpic/text.tif"};
    // Sample depths the RGBA interface has no unpacker for.
    for (const char *bits : {"10", "12", "14", "24", "32"}) {
        for (const char *kind : {"minisblack", "rgb-contig", "rgb-planar"}) {
            names.insert(std::string("libtiffpic/flower-") + kind + "-" + bits + ".tif");
        }
    }
    return names;
}

// Each file is read in a child process, so that a refusal (exit 1) is an
// outcome rather than the end of the test, and a hang ends by SIGALRM.
TEST(TiffTestdata, EveryFileIsReadAtItsDeclaredSizeOrRefusedWithStatus1) {
    REQUIRE_TESTDATA();
    const fs::path root = test_support::testdata_dir() / "tiff";
    const std::vector<fs::path> files = test_support::testdata_files("tiff");
    ASSERT_FALSE(files.empty());
    temp_dir scratch;
    const fs::path err_path = scratch / "stderr";
    const fs::path size_path = scratch / "size";
    const std::set<std::string> refusals = undecodable();
    int refused = 0;
    for (const fs::path &file : files) {
        const std::string name = fs::relative(file, root).string();
        fs::remove(size_path);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(err, 2);
            alarm(60);
            image im = read(reader::rgba, file);
            test_support::write_file(size_path, std::to_string(im.w) + " " + std::to_string(im.h));
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        const std::string err = test_support::read_file(err_path);
        ASSERT_TRUE(WIFEXITED(status)) << name << " ended by signal " << WTERMSIG(status) << "\n"
                                       << err;
        // A sanitizer report also ends in status 1: it must not pass as a refusal.
        EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << name << "\n" << err;
        if (refusals.count(name) != 0) {
            ++refused;
            EXPECT_EQ(WEXITSTATUS(status), 1) << name;
            EXPECT_NE(err.find("dispsmooth: cannot read TIFF image \"" + file.string() + "\""),
                      std::string::npos)
                << name << "\n"
                << err;
            continue;
        }
        ASSERT_EQ(WEXITSTATUS(status), 0) << name << "\n" << err;
        std::uint32_t w = 0, h = 0;
        TIFFErrorHandler warn = TIFFSetWarningHandler(nullptr);
        TIFF *tif = TIFFOpen(file.c_str(), "r");
        TIFFSetWarningHandler(warn);
        ASSERT_NE(tif, nullptr) << name;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
        TIFFClose(tif);
        EXPECT_EQ(test_support::read_file(size_path), std::to_string(w) + " " + std::to_string(h))
            << name;
    }
    EXPECT_EQ(refused, static_cast<int>(refusals.size()));
}

}  // namespace
