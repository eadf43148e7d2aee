// The disparity files: 16-bit PNG and TIFF at full depth and PFM, against
// files made here byte by byte or through libpng and libtiff directly, and
// the refusal of damaged and lying files with bounded memory.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "dispsmooth/disparity_io.hpp"
#include "dispsmooth/dispsmooth.hpp"
#include "tests/support.h"

namespace {

namespace fs = std::filesystem;
using test_support::read_file;
using test_support::temp_dir;
using test_support::write_file;

template <class E, class F>
std::string thrown_message(F call) {
    try {
        call();
    } catch (const E &e) {
        return e.what();
    } catch (const std::exception &e) {
        ADD_FAILURE() << "another exception: " << e.what();
        return {};
    }
    ADD_FAILURE() << "nothing thrown";
    return {};
}

std::vector<std::string> names_in(const fs::path &dir) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A KITTI-like map: disparities in 1/256 steps with holes of 0.
dispsmooth::uint16_image kitti_like(int width, int height) {
    dispsmooth::uint16_image image;
    image.width = width;
    image.height = height;
    for (int i = 0; i < width * height; ++i)
        image.pixels.push_back(i % 7 == 0 ? 0
                                          : static_cast<std::uint16_t>((i * 2654435761U) >> 16));
    image.pixels[1] = 9600;  // 37.5 px
    image.pixels[2] = 65535;
    return image;
}

// Writes a PNG through libpng as another program would: the given colour
// type, bit depth, interlacing and samples (big-endian at 16 bits).
void write_png_with_libpng(const fs::path &path, int width, int height, int color_type,
                           int bit_depth, bool interlaced,
                           const std::vector<std::uint16_t> &samples, int channels) {
    std::FILE *fp = std::fopen(path.c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, fp);
    png_set_IHDR(png, info, width, height, bit_depth, color_type,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const std::size_t bytes = bit_depth / 8;
    std::vector<std::vector<unsigned char>> rows(height);
    std::vector<png_bytep> pointers;
    for (int y = 0; y < height; ++y) {
        for (int i = 0; i < width * channels; ++i) {
            const std::uint16_t v = samples[static_cast<std::size_t>(y) * width * channels + i];
            if (bytes == 2) rows[y].push_back(static_cast<unsigned char>(v >> 8));
            rows[y].push_back(static_cast<unsigned char>(v & 0xff));
        }
        pointers.push_back(rows[y].data());
    }
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(fp);
}

std::string big_endian32(std::uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

// A PNG of only a signature and a header chunk (with its right CRC) that
// declares width x height 16-bit grey pixels, then a tiny data chunk.
std::string lying_png(std::uint32_t width, std::uint32_t height) {
    std::string ihdr = "IHDR" + big_endian32(width) + big_endian32(height);
    ihdr += std::string{16, 0, 0, 0, 0};
    std::string file = "\x89PNG\r\n\x1a\n";
    file += big_endian32(13) + ihdr +
            big_endian32(crc32(0, reinterpret_cast<const Bytef *>(ihdr.data()), ihdr.size()));
    const std::string idat = std::string("IDAT") + "\x78\x9c\x03\x00\x00\x00\x00\x01";
    file += big_endian32(8) + idat +
            big_endian32(crc32(0, reinterpret_cast<const Bytef *>(idat.data()), idat.size()));
    return file;
}

// A PFM's bytes: the header given, then values in file order (bottom row
// first) in the byte order asked for.
std::string pfm_bytes(const std::string &header, const std::vector<float> &values,
                      bool little_endian) {
    std::string file = header;
    for (const float v : values) {
        const auto bits = std::bit_cast<std::uint32_t>(v);
        for (int b = 0; b < 4; ++b) {
            const int shift = little_endian ? 8 * b : 8 * (3 - b);
            file += static_cast<char>((bits >> shift) & 0xff);
        }
    }
    return file;
}

TEST(DisparityIo, Uint16PngAndTiffRoundTripEveryValue) {
    temp_dir dir;
    const dispsmooth::uint16_image image = kitti_like(37, 11);
    for (const char *name : {"m.png", "m.PNG", "m.tif", "m.TIFF"}) {
        const std::string path = (dir / name).string();
        dispsmooth::write_uint16_image(path, image);
        const dispsmooth::uint16_image back = dispsmooth::read_uint16_image(path);
        EXPECT_EQ(back.width, 37) << name;
        EXPECT_EQ(back.height, 11) << name;
        EXPECT_EQ(back.bit_depth, 16) << name;
        EXPECT_EQ(back.pixels, image.pixels) << name;
    }
    // The PNG is 16-bit grey (colour type 0), as KITTI's are.
    const std::string png = read_file(dir / "m.png");
    EXPECT_EQ(static_cast<int>(png[24]), 16);
    EXPECT_EQ(static_cast<int>(png[25]), 0);
    // The 8-bit reader keeps the high byte, as it always has.
    const dispsmooth::gray_image eight = dispsmooth::read_gray_image((dir / "m.png").string());
    EXPECT_EQ(eight.pixels[1], 9600 >> 8);
    EXPECT_EQ(names_in(dir.path()),
              (std::vector<std::string>{"m.PNG", "m.TIFF", "m.png", "m.tif"}));
}

struct png_case {
    const char *what;
    int color_type;
    int bit_depth;
    int channels;
    bool interlaced;
};

TEST(DisparityIo, PngOfEveryLayoutReadsItsFirstSampleAtFullDepth) {
    const png_case cases[] = {
        {"grey 16", PNG_COLOR_TYPE_GRAY, 16, 1, false},
        {"grey 16 interlaced", PNG_COLOR_TYPE_GRAY, 16, 1, true},
        {"grey+alpha 16", PNG_COLOR_TYPE_GRAY_ALPHA, 16, 2, false},
        {"RGB 16", PNG_COLOR_TYPE_RGB, 16, 3, false},
        {"RGBA 16 interlaced", PNG_COLOR_TYPE_RGB_ALPHA, 16, 4, true},
        {"grey 8", PNG_COLOR_TYPE_GRAY, 8, 1, false},
        {"RGB 8", PNG_COLOR_TYPE_RGB, 8, 3, false},
    };
    temp_dir dir;
    const int width = 19;
    const int height = 9;
    for (const png_case &c : cases) {
        std::vector<std::uint16_t> samples;
        for (int i = 0; i < width * height * c.channels; ++i)
            samples.push_back(static_cast<std::uint16_t>((i * 40503U + 7) % (1U << c.bit_depth)));
        const fs::path path = dir / "in.png";
        write_png_with_libpng(path, width, height, c.color_type, c.bit_depth, c.interlaced, samples,
                              c.channels);
        const dispsmooth::uint16_image back = dispsmooth::read_uint16_image(path.string());
        ASSERT_EQ(back.width, width) << c.what;
        ASSERT_EQ(back.height, height) << c.what;
        EXPECT_EQ(back.bit_depth, c.bit_depth) << c.what;
        for (int p = 0; p < width * height; ++p)
            ASSERT_EQ(back.pixels[p], samples[static_cast<std::size_t>(p) * c.channels])
                << c.what << " pixel " << p;
    }
}

TEST(DisparityIo, TiffOfThreeSamplesAndSeparatePlanesReadsTheFirst) {
    temp_dir dir;
    const int width = 23;
    const int height = 5;
    for (const int planar : {PLANARCONFIG_CONTIG, PLANARCONFIG_SEPARATE}) {
        const fs::path path = dir / "rgb.tif";
        TIFF *tif = TIFFOpen(path.c_str(), "w");
        ASSERT_NE(tif, nullptr);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, planar);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
        std::vector<std::uint16_t> line(static_cast<std::size_t>(width) * 3);
        for (int s = 0; s < (planar == PLANARCONFIG_SEPARATE ? 3 : 1); ++s)
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x)
                    for (int c = 0; c < 3; ++c) {
                        const int sample = planar == PLANARCONFIG_SEPARATE ? s : c;
                        const auto v = static_cast<std::uint16_t>(1000 * sample + 40 * y + x);
                        if (planar == PLANARCONFIG_SEPARATE)
                            line[x] = v;
                        else
                            line[3 * x + c] = v;
                    }
                ASSERT_EQ(TIFFWriteScanline(tif, line.data(), y, s), 1);
            }
        TIFFClose(tif);
        const dispsmooth::uint16_image back = dispsmooth::read_uint16_image(path.string());
        ASSERT_EQ(back.width, width);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                ASSERT_EQ(back.pixels[y * width + x], 40 * y + x) << "planar " << planar;
    }
}

TEST(DisparityIo, PfmReadsBothByteOrdersBothKindsAndTurnsTheRows) {
    temp_dir dir;
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // 3 x 2 image; in file order the bottom row comes first.
    const std::vector<float> bottom = {4.5F, inf, 6.25F};
    const std::vector<float> top = {1.0F, 2.0F, nan};
    struct pfm_case {
        const char *header;
        bool little;
        int channels;
    };
    const pfm_case cases[] = {
        {"Pf\n3 2\n-1.0\n", true, 1},    {"Pf\n3 2\n1.0\n", false, 1},
        {"Pf 3 2 -0.003921\n", true, 1}, {"PF\n3 2\n-1\n", true, 3},
        {"PF\n3\n2\n+1.5\r", false, 3},
    };
    for (const pfm_case &c : cases) {
        std::vector<float> values;
        for (const auto *row : {&bottom, &top})
            for (const float v : *row)
                for (int ch = 0; ch < c.channels; ++ch) values.push_back(ch == 0 ? v : -7.0F);
        write_file(dir / "d.pfm", pfm_bytes(c.header, values, c.little));
        const dispsmooth::float_image image = dispsmooth::read_pfm((dir / "d.pfm").string());
        ASSERT_EQ(image.width, 3) << c.header;
        ASSERT_EQ(image.height, 2) << c.header;
        EXPECT_EQ(image.pixels[0], 1.0F) << c.header;
        EXPECT_EQ(image.pixels[1], 2.0F) << c.header;
        EXPECT_TRUE(std::isnan(image.pixels[2])) << c.header;
        EXPECT_EQ(image.pixels[3], 4.5F) << c.header;
        EXPECT_TRUE(std::isinf(image.pixels[4])) << c.header;
        EXPECT_EQ(image.pixels[5], 6.25F) << c.header;
    }
}

TEST(DisparityIo, PfmIsWrittenGreyLittleEndianBottomRowFirst) {
    temp_dir dir;
    dispsmooth::float_image image;
    image.width = 2;
    image.height = 2;
    image.pixels = {1.5F, std::numeric_limits<float>::infinity(), -2.0F, 3.0F};
    const std::string path = (dir / "out.pfm").string();
    dispsmooth::write_pfm(path, image);
    EXPECT_EQ(read_file(path),
              pfm_bytes("Pf\n2 2\n-1\n",
                        {-2.0F, 3.0F, 1.5F, std::numeric_limits<float>::infinity()}, true));
    const dispsmooth::float_image back = dispsmooth::read_pfm(path);
    EXPECT_EQ(back.pixels[0], 1.5F);
    EXPECT_TRUE(std::isinf(back.pixels[1]));
    EXPECT_EQ(back.pixels[2], -2.0F);
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"out.pfm"});
}

struct bad_file {
    const char *what;
    std::string bytes;
    const char *expected;  // part of the message
};

TEST(DisparityIo, BadPfmFilesAreRefusedNamingTheFile) {
    const std::vector<float> six(6, 1.0F);
    const bad_file cases[] = {
        {"empty", "", "not a PFM file"},
        {"another magic", "P6\n3 2\n255\n", "not a PFM file"},
        {"truncated data", pfm_bytes("Pf\n3 2\n-1\n", six, true).substr(0, 30), "truncated"},
        {"header larger than the data", pfm_bytes("Pf\n3 20\n-1\n", six, true), "truncated"},
        {"colour header on grey data", pfm_bytes("PF\n3 2\n-1\n", six, true), "truncated"},
        {"scale 0", pfm_bytes("Pf\n3 2\n0\n", six, true), "scale"},
        {"scale NaN", pfm_bytes("Pf\n3 2\nnan\n", six, true), "scale"},
        {"scale inf", pfm_bytes("Pf\n3 2\n-inf\n", six, true), "scale"},
        {"scale not a number", pfm_bytes("Pf\n3 2\n-1x\n", six, true), "scale"},
        {"no scale", "Pf\n3 2\n", "scale"},
        {"width 0", pfm_bytes("Pf\n0 2\n-1\n", six, true), "width and height"},
        {"negative height", pfm_bytes("Pf\n3 -2\n-1\n", six, true), "width and height"},
        {"a size that is not a number", pfm_bytes("Pf\n3x 2\n-1\n", six, true), "width and height"},
        {"60000 x 60000 in a few bytes", "Pf\n60000 60000\n-1\n0000", "too large"},
        {"16000 x 16000 in a few bytes", "Pf\n16000 16000\n-1\n0000", "truncated"},
        {"overlong token", "Pf\n" + std::string(100, '1') + " 2\n-1\n", "width and height"},
    };
    temp_dir dir;
    for (const bad_file &c : cases) {
        const std::string path = (dir / "bad.pfm").string();
        write_file(path, c.bytes);
        const std::string message =
            thrown_message<dispsmooth::file_error>([&] { (void)dispsmooth::read_pfm(path); });
        EXPECT_NE(message.find("\"" + path + "\""), std::string::npos) << c.what << ": " << message;
        EXPECT_NE(message.find(c.expected), std::string::npos) << c.what << ": " << message;
    }
}

TEST(DisparityIo, BadPngAndTiffFilesAreRefusedNamingTheFile) {
    temp_dir dir;
    const std::string good_png = [&] {
        dispsmooth::write_uint16_image((dir / "g.png").string(), kitti_like(64, 64));
        return read_file(dir / "g.png");
    }();
    const bad_file cases[] = {
        {"empty", "", "cannot read PNG image"},
        {"not a PNG", "hello, world", "Not a PNG file"},
        {"truncated", good_png.substr(0, good_png.size() / 2), "cannot read PNG image"},
        {"60000 x 60000 in a few bytes", lying_png(60000, 60000), "too large"},
        {"16000 x 16000 in a few bytes", lying_png(16000, 16000), "more than a file of"},
        {"1 x 1000000 in a few bytes", lying_png(1000000, 1), "cannot read PNG image"},
    };
    for (const bad_file &c : cases) {
        const std::string path = (dir / "bad.png").string();
        write_file(path, c.bytes);
        const std::string message = thrown_message<dispsmooth::file_error>(
            [&] { (void)dispsmooth::read_uint16_image(path); });
        EXPECT_NE(message.find("\"" + path + "\""), std::string::npos) << c.what << ": " << message;
        EXPECT_NE(message.find(c.expected), std::string::npos) << c.what << ": " << message;
    }
    const std::string tiff_path = (dir / "bad.tif").string();
    for (const std::string &bytes : {std::string(), std::string("II*\0garbage", 11)}) {
        write_file(tiff_path, bytes);
        const std::string message = thrown_message<dispsmooth::file_error>(
            [&] { (void)dispsmooth::read_uint16_image(tiff_path); });
        EXPECT_NE(message.find("cannot read TIFF image \"" + tiff_path + "\""), std::string::npos)
            << message;
    }
    const std::string missing = (dir / "missing.png").string();
    EXPECT_NE(thrown_message<dispsmooth::file_error>([&] {
                  (void)dispsmooth::read_uint16_image(missing);
              }).find("No such file"),
              std::string::npos);
}

// A lying header is refused before anything is allocated: under an
// address-space limit of about 300 MB more than the process has mapped, the
// refusal is the declared-size one (file_error), not the memory budget's
// (std::bad_alloc), although the declared map would need 512 MB or 1 GB.
TEST(DisparityIo, LyingHeadersAreRefusedBeforeTheMemoryBudgetIsAsked) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer maps more than an address-space limit allows";
#endif
    temp_dir dir;
    write_file(dir / "lie.png", lying_png(16000, 16000));
    write_file(dir / "lie.pfm", "Pf\n16000 16000\n-1\n0000");
    for (const char *name : {"lie.png", "lie.pfm"}) {
        const std::string path = (dir / name).string();
        const int status = test_support::exit_status_under_address_limit(300LL << 20, [&] {
            try {
                if (fs::path(path).extension() == ".pfm")
                    (void)dispsmooth::read_pfm(path);
                else
                    (void)dispsmooth::read_uint16_image(path);
            } catch (const dispsmooth::file_error &) {
                return 0;
            } catch (...) {
                return 3;
            }
            return 4;
        });
        EXPECT_EQ(status, 0) << name << " (3: another error, 4: read)";
    }
}

TEST(DisparityIo, WritesRefuseBadRequestsAndLeaveNoTemporaryFile) {
    temp_dir dir;
    dispsmooth::uint16_image empty;
    EXPECT_NE(thrown_message<dispsmooth::error>([&] {
                  dispsmooth::write_uint16_image((dir / "e.png").string(), empty);
              }).find("empty"),
              std::string::npos);
    dispsmooth::uint16_image wrong = kitti_like(4, 4);
    wrong.pixels.pop_back();
    EXPECT_NE(thrown_message<dispsmooth::error>([&] {
                  dispsmooth::write_uint16_image((dir / "w.tif").string(), wrong);
              }).find("must hold 16"),
              std::string::npos);
    EXPECT_NE(thrown_message<dispsmooth::error>([&] {
                  dispsmooth::write_uint16_image((dir / "w.jpg").string(), kitti_like(4, 4));
              }).find("not recognized"),
              std::string::npos);
    dispsmooth::float_image wrong_float;
    wrong_float.width = 2;
    wrong_float.height = 2;
    EXPECT_NE(thrown_message<dispsmooth::error>([&] {
                  dispsmooth::write_pfm((dir / "w.pfm").string(), wrong_float);
              }).find("must hold 4"),
              std::string::npos);
    EXPECT_TRUE(names_in(dir.path()).empty());

    // A directory that does not exist: file_error, nothing left.
    for (const char *name : {"no/such/x.png", "no/such/x.tif", "no/such/x.pfm"}) {
        const std::string path = (dir / name).string();
        const std::string message = thrown_message<dispsmooth::file_error>([&] {
            if (fs::path(path).extension() == ".pfm") {
                dispsmooth::float_image f;
                f.width = 1;
                f.height = 1;
                f.pixels = {1.0F};
                dispsmooth::write_pfm(path, f);
            } else {
                dispsmooth::write_uint16_image(path, kitti_like(3, 3));
            }
        });
        EXPECT_NE(message.find(path), std::string::npos) << message;
    }
    EXPECT_TRUE(names_in(dir.path()).empty());
}

TEST(DisparityIo, AWriteReplacesThePreviousFileWhole) {
    temp_dir dir;
    for (const char *name : {"r.png", "r.tif", "r.pfm"}) {
        const std::string path = (dir / name).string();
        write_file(path, "previous");
        if (fs::path(path).extension() == ".pfm") {
            dispsmooth::float_image f;
            f.width = 2;
            f.height = 1;
            f.pixels = {0.5F, 1.5F};
            dispsmooth::write_pfm(path, f);
            EXPECT_EQ(dispsmooth::read_pfm(path).pixels, f.pixels);
        } else {
            const dispsmooth::uint16_image image = kitti_like(5, 3);
            dispsmooth::write_uint16_image(path, image);
            EXPECT_EQ(dispsmooth::read_uint16_image(path).pixels, image.pixels);
        }
    }
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"r.pfm", "r.png", "r.tif"}));
}

}  // namespace
