// Reading is bounded by what the file holds and by what the process may
// allocate: a JPEG whose data ends early, or that has none after its
// header, is refused as damaged instead of being padded into an image, and
// an image whose declared size does not fit the memory left is refused with
// the figures before anything is allocated for it.
#include "dispsmooth/dispsmooth.hpp"
#include "dispsmooth/jpeg_codec.h"
#include "dispsmooth/png_codec.h"
#include "tests/support.h"

#include <gtest/gtest.h>
#include <png.h>
#include <tiffio.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test_support::run_result;
using test_support::run_tool;
using test_support::temp_dir;

// A JPEG of the codec's own, 64 x 48 noise.
std::string noise_jpeg(const fs::path &dir) {
    const std::vector<int> rgb = test_support::random_ints(64 * 48 * 3, 0, 255, 3);
    write_rgb_image_arr_into_jpeg((dir / "noise.jpg").c_str(), 64, 48, rgb.data());
    return test_support::read_file(dir / "noise.jpg");
}

// The file up to the end of its first start-of-scan segment: a header with
// no entropy-coded data.  With size, the frame header declares size x size.
std::string header_only(const std::string &jpeg, int size = 0) {
    const std::size_t sos = jpeg.find("\xff\xda");
    const std::size_t length = (static_cast<unsigned char>(jpeg[sos + 2]) << 8) |
                               static_cast<unsigned char>(jpeg[sos + 3]);
    std::string header = jpeg.substr(0, sos + 2 + length);
    if (size > 0) {
        const std::size_t sof = header.find("\xff\xc0");
        for (const std::size_t at : {sof + 5, sof + 7}) {
            header[at] = static_cast<char>(size >> 8);
            header[at + 1] = static_cast<char>(size & 0xFF);
        }
    }
    return header;
}

// An 8000 x 8000 grey PNG of zeros: some 60 KB that legitimately decode to
// 64 million pixels.
void write_zeros_png(const fs::path &path, int size) {
    std::FILE *fp = std::fopen(path.c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, fp);
    png_set_IHDR(png, info, size, size, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::vector<png_byte> row(static_cast<std::size_t>(size), 0);
    for (int y = 0; y < size; ++y) png_write_row(png, row.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(fp);
}

// A grey TIFF of zeros, deflate-compressed.
void write_zeros_tiff(const fs::path &path, int size) {
    TIFF *tif = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, size);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, size);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 256);
    std::vector<unsigned char> row(static_cast<std::size_t>(size), 0);
    for (int y = 0; y < size; ++y) TIFFWriteScanline(tif, row.data(), static_cast<unsigned>(y), 0);
    TIFFClose(tif);
}

}  // namespace

// A JPEG cut short anywhere in its scan data, or with none at all, even one
// whose header declares 16384 x 16384 pixels, is refused as damaged: by the
// interface with the library's warning as its message, by the tool with an
// abnormal end after naming the file, as for any JPEG that cannot be
// decoded.  The whole file still reads.
TEST(BoundedReads, AJpegWhoseDataEndsEarlyIsDamaged) {
    temp_dir dir;
    const std::string whole = noise_jpeg(dir.path());
    struct cut {
        const char *name;
        std::string bytes;
    };
    const std::vector<cut> cuts = {
        {"header only", header_only(whole)},
        {"header only, 16384 x 16384", header_only(whole, 16384)},
        {"half", whole.substr(0, whole.size() / 2)},
        {"all but the end marker", whole.substr(0, whole.size() - 2 - 40)},
    };
    for (const cut &c : cuts) {
        SCOPED_TRACE(c.name);
        test_support::write_file(dir / "cut.jpg", c.bytes);
        try {
            (void)dispsmooth::read_rgb_image((dir / "cut.jpg").string());
            ADD_FAILURE() << "read as an image";
        } catch (const dispsmooth::file_error &e) {
            EXPECT_EQ(std::string(e.what()),
                      "Premature end of JPEG file\ndispsmooth: cannot read JPEG image \"" +
                          (dir / "cut.jpg").string() + "\"");
        }
        test_support::write_parameter_file(dir.path(), "cut.jpg cut.jpg 1 9 20 out.png\n");
        const run_result r = run_tool(dir.path());
        EXPECT_FALSE(r.exited);
        EXPECT_EQ(r.term_signal, SIGABRT);
        EXPECT_NE(r.err.find("Premature end of JPEG file\ndispsmooth: cannot read JPEG image "
                             "\"cut.jpg\""),
                  std::string::npos)
            << r.err;
        EXPECT_FALSE(fs::exists(dir / "out.png"));
    }
    EXPECT_EQ(dispsmooth::read_rgb_image((dir / "noise.jpg").string()).width, 64);
}

namespace {

// What a read under an address-space limit of about 1 GB beyond what the
// process maps ended with, as the child's exit status.
enum limited_read : int {
    refused_with_figures = 0,
    other_message = 3,
    other_error = 4,
    read_whole = 5
};

int read_under_a_1gb_limit(const std::string &path, bool rgb) {
    return test_support::exit_status_under_address_limit(1000LL << 20, [&] {
        try {
            if (rgb)
                (void)dispsmooth::read_rgb_image(path);
            else
                (void)dispsmooth::read_gray_image(path);
        } catch (const std::bad_alloc &e) {
            const std::string message = e.what();
            const bool figures =
                message.find("dispsmooth: cannot read \"" + path + "\": needs about ") == 0 &&
                message.find(" GB available") != std::string::npos;
            return figures ? refused_with_figures : other_message;
        } catch (...) {
            return other_error;
        }
        return read_whole;
    });
}

}  // namespace

// Under an address-space limit that leaves about 1 GB, files that declare
// (legitimately or not) more than that are refused with the figures, by
// each codec, before their arrays are allocated.  The same limit holds the
// gray read of 8000 x 8000 pixels: 256 MB, decoded a row (or a strip) at a
// time straight into the caller's array, where a PNG decoded whole into
// RGBA, then into int RGB and alpha arrays, then copied into the gray one
// needed 1.5 GB.  Without the limit the legitimate files read.
TEST(BoundedReads, ADeclaredSizeBeyondTheMemoryLeftIsRefusedWithTheFigures) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer maps more than an address-space limit allows";
#endif
    temp_dir dir;
    write_zeros_png(dir / "zeros.png", 8000);
    write_zeros_tiff(dir / "zeros.tif", 8000);
    write_zeros_png(dir / "wide.png", 10000);
    write_zeros_tiff(dir / "wide.tif", 10000);
    const std::string noise = noise_jpeg(dir.path());
    test_support::write_file(dir / "big.jpg", header_only(noise, 16384));
    const struct {
        const char *name;
        bool rgb;
        int outcome;
    } cases[] = {
        {"wide.png", true, refused_with_figures}, {"wide.tif", true, refused_with_figures},
        {"big.jpg", true, refused_with_figures},  {"big.jpg", false, refused_with_figures},
        {"zeros.png", false, read_whole},         {"zeros.tif", false, read_whole},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.rgb ? " as RGB" : " as gray"));
        EXPECT_EQ(read_under_a_1gb_limit((dir / c.name).string(), c.rgb), c.outcome)
            << "0: refused with the figures, 3: other message, 4: other error, 5: read";
    }
    // Within the limits a legitimate large file reads.
    const dispsmooth::gray_image zeros = dispsmooth::read_gray_image((dir / "wide.png").string());
    EXPECT_EQ(zeros.width, 10000);
    EXPECT_EQ(zeros.pixels.size(), 100000000u);
    EXPECT_EQ(dispsmooth::read_rgb_image((dir / "zeros.tif").string()).samples.size(), 192000000u);
}
