// Damaged and hostile image files given to the real tool: every run must end
// with a result, with a message and a failure status, or with the abnormal
// end of the PNG and JPEG readers after a message -- never with a sanitizer
// report, a hang or a success status without an output.
#include "dispsmooth/jpeg_codec.h"
#include "dispsmooth/png_codec.h"
#include "dispsmooth/tiff_codec.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <jpeglib.h>

namespace {

namespace fs = std::filesystem;
using test_support::run_result;
using test_support::run_tool;
using test_support::temp_dir;

// Images of up to this many pixels are read as reference image and
// disparity map in the same run, so that the run goes on to the smoothing;
// larger ones (a 40 KB fax TIFF holds 3.8 million pixels) are paired with a
// tiny image and stop at the size check, which keeps each run to a few
// seconds under the sanitizers.
const long long small_image = 256 * 256;

// A run that takes longer than this has hung (the slowest real case, a
// 450 x 375 image smoothed with radius 1 under the sanitizers, takes a few
// seconds).
const int run_time_limit = 60;

std::string extension_of(const fs::path &file) {
    std::string ext = file.extension().string();
    return ext.empty() ? ext : ext.substr(1);
}

// The extension the tool dispatches a format on.
std::string format_of(const std::string &bytes, const std::string &ext) {
    if (bytes.rfind("\x89PNG", 0) == 0) return "png";
    if (bytes.rfind("\xFF\xD8", 0) == 0) return "jpg";
    if (bytes.rfind("II*", 0) == 0 || bytes.rfind("MM", 0) == 0) return "tif";
    if (ext == "tiff" || ext == "TIF" || ext == "TIFF") return "tif";
    if (ext == "jpeg" || ext == "JPG" || ext == "JPEG") return "jpg";
    return ext;
}

// A name of another format for the same bytes.
std::string wrong_extension(const std::string &format) {
    if (format == "png") return "jpg";
    if (format == "jpg") return "tif";
    return "png";
}

struct damaged_input {
    std::string label;
    std::string bytes;
    std::string extension;  // the name the damaged file is given
    bool as_reference;      // reference image (the disparity map then is the
                            // same file for small images, a tiny image else)
    bool as_disparity;      // disparity map, with a tiny reference image
    bool small;             // the intact file decodes to a small image
};

// The pixel count of the intact file, decoded in a child since a reader
// ends the process on a file it refuses; 0 when it does not decode.
long long decoded_pixels(const fs::path &file, const std::string &format) {
    int fds[2];
    if (pipe(fds) != 0) return 0;
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        int w = 0, h = 0;
        int *arr = nullptr;
        if (format == "tif") read_tiff_into_image_arr(file.c_str(), &w, &h, &arr);
        if (format == "png") read_png_into_image_arr(file.c_str(), &w, &h, &arr);
        if (format == "jpg") read_jpeg_into_image_arr(file.c_str(), &w, &h, &arr);
        std::free(arr);
        const long long pixels = 1LL * w * h;
        if (write(fds[1], &pixels, sizeof pixels) != sizeof pixels) _exit(1);
        _exit(0);
    }
    close(fds[1]);
    long long pixels = 0;
    if (pid < 0 || read(fds[0], &pixels, sizeof pixels) != sizeof pixels) pixels = 0;
    close(fds[0]);
    if (pid > 0) waitpid(pid, nullptr, 0);
    return pixels;
}

// The checks of one finished run; an empty string when it ended acceptably.
std::string judge(const damaged_input &input, const run_result &r, bool wrote_output) {
    if (r.err.find("Sanitizer") != std::string::npos ||
        r.err.find("runtime error") != std::string::npos)
        return "sanitizer report";
    if (!r.exited && r.term_signal == SIGALRM) return "no end within the time limit";
    if (r.exited && r.exit_status == 0) return wrote_output ? "" : "status 0 without an output";
    if (r.err.empty()) return "failure without a message on standard error";
    if (r.exited && r.exit_status == 1) return "";
    // Only the PNG and JPEG readers end a run abnormally.
    if (!r.exited && r.term_signal == SIGABRT && input.extension != "tif") return "";
    return r.exited ? "exit status " + std::to_string(r.exit_status)
                    : "signal " + std::to_string(r.term_signal);
}

// Runs the tool on one damaged input in its own directory; returns a
// description of what went wrong, or "".
std::string run_case(const damaged_input &input, const std::string &tiny_reference) {
    temp_dir dir;
    const std::string name = "damaged." + input.extension;
    test_support::write_file(dir / name, input.bytes);
    test_support::write_file(dir / "tiny.tif", tiny_reference);
    const std::string reference = input.as_reference ? name : "tiny.tif";
    const std::string disparity = input.as_disparity || input.small ? name : "tiny.tif";
    test_support::write_parameter_file(dir.path(),
                                       reference + " " + disparity + " 1 3 10 out.tif\n");
    const run_result r = run_tool(dir.path(), {}, run_time_limit);
    const std::string problem = judge(input, r, fs::exists(dir / "out.tif"));
    if (problem.empty()) return problem;
    return input.label + " as " + reference + " / " + disparity + ": " + problem + "\n" +
           r.err.substr(0, 2000);
}

// Runs every case on a pool of two threads and returns the problems found.
std::vector<std::string> run_all(const std::vector<damaged_input> &inputs) {
    temp_dir dir;
    const std::vector<int> tiny(4 * 4, 7), tiny_rgb(4 * 4 * 3, 90);
    write_rgb_image_arr_into_tiff((dir / "tiny.tif").c_str(), 4, 4, tiny_rgb.data());
    const std::string tiny_reference = test_support::read_file(dir / "tiny.tif");

    std::atomic<std::size_t> next{0};
    std::mutex mutex;
    std::vector<std::string> problems;
    auto worker = [&] {
        for (std::size_t i = next++; i < inputs.size(); i = next++) {
            std::string problem = run_case(inputs[i], tiny_reference);
            if (!problem.empty()) {
                const std::lock_guard<std::mutex> lock(mutex);
                problems.push_back(std::move(problem));
            }
        }
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    return problems;
}

std::string flip_bytes(std::string bytes, std::size_t from, std::size_t to, unsigned seed) {
    if (bytes.empty() || from >= bytes.size()) return bytes;
    to = std::min(to, bytes.size());
    std::mt19937 rng(seed);
    for (int k = 0; k < 4; ++k) {
        const std::size_t at = from + rng() % (to - from);
        bytes[at] = static_cast<char>(bytes[at] ^ (1u << (rng() % 8)) ^ 0x80);
    }
    return bytes;
}

// Each shared image, damaged several ways: cut after its first bytes, in
// the middle and before its last byte; bits flipped in the header and in
// the data.  Each is read under its own extension as the reference image
// and as the disparity map; the intact file and the one with a damaged
// header are also read under another format's extension.
TEST(DamagedInputs, EveryDamagedSharedImageEndsInAnAcceptedWay) {
    REQUIRE_TESTDATA();
    std::vector<damaged_input> inputs;
    std::size_t damaged_files = 0;
    unsigned seed = 1;
    for (const fs::path &file : test_support::testdata_files("")) {
        const std::string bytes = test_support::read_file(file);
        const std::string format = format_of(bytes, extension_of(file));
        if (format != "png" && format != "jpg" && format != "tif") continue;
        const std::string wrong = wrong_extension(format);
        const std::string label = file.lexically_relative(test_support::testdata_dir()).string();
        const std::size_t n = bytes.size();
        const std::size_t header = std::min<std::size_t>(n, 64);
        const long long pixels = decoded_pixels(file, format);
        const bool small = pixels > 0 && pixels <= small_image;

        const std::vector<std::pair<std::string, std::string>> variants = {
            {"cut to " + std::to_string(std::min<std::size_t>(n, 20)) + " bytes",
             bytes.substr(0, std::min<std::size_t>(n, 20))},
            {"cut in half", bytes.substr(0, n / 2)},
            {"last byte cut", bytes.substr(0, n > 0 ? n - 1 : 0)},
            {"header bits flipped", flip_bytes(bytes, 0, header, seed++)},
            {"data bits flipped", flip_bytes(bytes, n / 2, n, seed++)},
        };
        inputs.push_back({label + " intact", bytes, wrong, true, true, small});
        for (std::size_t v = 0; v < variants.size(); ++v) {
            const std::string what = label + " " + variants[v].first;
            const std::string &damaged = variants[v].second;
            ++damaged_files;
            inputs.push_back({what, damaged, format, true, false, small});
            // A small image is its own disparity map in the run above; a
            // large one gets a run of its own as disparity map where the
            // decoder goes past the header.
            if (!small && (v == 1 || v == 4))
                inputs.push_back({what, damaged, format, false, true, small});
            // Another reader stops at the first bytes: only damage there
            // changes what it sees.
            if (v == 3) inputs.push_back({what, damaged, wrong, true, true, small});
        }
    }
    for (const char *ext : {"tif", "png", "jpg"}) {
        ++damaged_files;
        inputs.push_back({std::string("empty file .") + ext, "", ext, true, false, true});
        inputs.push_back({std::string("empty file .") + ext, "", ext, false, true, true});
    }
    ASSERT_GT(inputs.size(), 2000u);

    const std::vector<std::string> problems = run_all(inputs);
    std::printf("%zu damaged inputs (plus the intact files under a wrong name), %zu runs\n",
                damaged_files, inputs.size());
    EXPECT_TRUE(problems.empty()) << problems.size() << " run(s) ended badly; the first:\n"
                                  << problems.front();
}

// ---- Files that declare absurd dimensions -------------------------------

void put_u16le(std::string &s, std::uint16_t v) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>(v >> 8));
}
void put_u32le(std::string &s, std::uint32_t v) {
    put_u16le(s, static_cast<std::uint16_t>(v & 0xFFFF));
    put_u16le(s, static_cast<std::uint16_t>(v >> 16));
}
void put_u32be(std::string &s, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        s.push_back(static_cast<char>((v >> shift) & 0xFF));
}

// A little-endian 8-bit gray TIFF of the given size whose single strip holds
// 16 bytes: far too little data for what it declares.
std::string tiff_claiming(std::uint32_t w, std::uint32_t h) {
    std::string s = "II*";
    s.push_back('\0');
    put_u32le(s, 8);
    const std::uint32_t data_offset = 8 + 2 + 8 * 12 + 4;
    const std::uint16_t tags[][3] = {{256, 4, 0}, {257, 4, 1}, {258, 3, 8}, {259, 3, 1},
                                     {262, 3, 1}, {273, 4, 2}, {278, 4, 3}, {279, 4, 4}};
    put_u16le(s, 8);
    for (const auto &t : tags) {
        put_u16le(s, t[0]);
        put_u16le(s, t[1]);
        put_u32le(s, 1);
        std::uint32_t value = t[2];
        if (t[0] == 256) value = w;
        if (t[0] == 257 || t[0] == 278) value = h;
        if (t[0] == 273) value = data_offset;
        if (t[0] == 279) value = 16;
        if (t[1] == 3) {
            put_u16le(s, static_cast<std::uint16_t>(value));
            put_u16le(s, 0);
        } else {
            put_u32le(s, value);
        }
    }
    put_u32le(s, 0);
    s.append(16, '\x40');
    return s;
}

// A PNG with a valid header chunk for the given size, made from a real
// small file of the codec's writer: its image data is far too short.
std::string png_claiming(std::uint32_t w, std::uint32_t h) {
    temp_dir dir;
    const std::vector<int> rgb(8 * 8 * 3, 100);
    write_rgb_image_arr_into_png((dir / "s.png").c_str(), 8, 8, rgb.data());
    std::string s = test_support::read_file(dir / "s.png");
    // Signature (8), IHDR length (4), "IHDR" (4), then width and height.
    std::string fields;
    put_u32be(fields, w);
    put_u32be(fields, h);
    s.replace(16, 8, fields);
    const auto *chunk = reinterpret_cast<const Bytef *>(s.data() + 12);
    std::string crc;
    put_u32be(crc, static_cast<std::uint32_t>(crc32(0, chunk, 4 + 13)));
    s.replace(29, 4, crc);
    return s;
}

// A JPEG whose frame header declares the given size, made from a real small
// file of the codec's writer and cut after the start of its scan: the
// library pads the missing data with warnings, so nothing but the size
// check stops a full-size decode.
std::string jpeg_claiming(std::uint16_t w, std::uint16_t h) {
    temp_dir dir;
    const std::vector<int> rgb(16 * 16 * 3, 100);
    write_rgb_image_arr_into_jpeg((dir / "s.jpg").c_str(), 16, 16, rgb.data());
    std::string s = test_support::read_file(dir / "s.jpg");
    const std::size_t sof = s.find("\xFF\xC0");
    const std::size_t sos = s.find("\xFF\xDA");
    if (sof == std::string::npos || sos == std::string::npos) return s;
    // Marker (2), length (2), precision (1), then height and width.
    s[sof + 5] = static_cast<char>(h >> 8);
    s[sof + 6] = static_cast<char>(h & 0xFF);
    s[sof + 7] = static_cast<char>(w >> 8);
    s[sof + 8] = static_cast<char>(w & 0xFF);
    return s.substr(0, sos + 40);
}

// In a build without the sanitizers the run gets a 1 GiB address-space
// limit, so a reader that tried to allocate what the header claims would
// fail in the allocator instead of refusing the size.
run_result run_with_memory_limit(const fs::path &dir) {
#if defined(__SANITIZE_ADDRESS__)
    return run_tool(dir, {}, run_time_limit);
#else
    struct rlimit saved;
    getrlimit(RLIMIT_AS, &saved);
    struct rlimit limited = saved;
    limited.rlim_cur = 1ull << 30;
    setrlimit(RLIMIT_AS, &limited);
    run_result r = run_tool(dir, {}, run_time_limit);
    setrlimit(RLIMIT_AS, &saved);
    return r;
#endif
}

// Dimensions beyond any real disparity map -- 100000 x 100000, 60000 x
// 60000, which still fits a 32-bit pixel count, and 20000 x 20000, which
// fits even the signed array sizes -- are refused with a message before
// anything that large is allocated, by each codec.
TEST(DamagedInputs, AbsurdDeclaredDimensionsAreRefusedBeforeAllocating) {
    struct claim {
        std::string ext;
        std::string bytes;
        bool aborts;
    };
    const std::vector<claim> claims = {
        {"tif", tiff_claiming(100000, 100000), false}, {"tif", tiff_claiming(60000, 60000), false},
        {"tif", tiff_claiming(20000, 20000), false},   {"png", png_claiming(100000, 100000), true},
        {"png", png_claiming(60000, 60000), true},     {"png", png_claiming(20000, 20000), true},
        {"jpg", jpeg_claiming(65500, 65500), true},    {"jpg", jpeg_claiming(60000, 60000), true},
        {"jpg", jpeg_claiming(20000, 20000), true},
    };
    for (const claim &c : claims) {
        for (const bool as_reference : {true, false}) {
            temp_dir dir;
            const std::string name = "huge." + c.ext;
            test_support::write_file(dir / name, c.bytes);
            const std::vector<int> tiny_rgb(4 * 4 * 3, 90);
            write_rgb_image_arr_into_tiff((dir / "tiny.tif").c_str(), 4, 4, tiny_rgb.data());
            test_support::write_parameter_file(
                dir.path(),
                (as_reference ? name + " tiny.tif" : "tiny.tif " + name) + " 1 3 10 out.tif\n");
            const run_result r = run_with_memory_limit(dir.path());
            SCOPED_TRACE(name + (as_reference ? " as reference" : " as disparity map") + ": " +
                         r.err);
            if (c.aborts) {
                EXPECT_FALSE(r.exited);
                EXPECT_EQ(r.term_signal, SIGABRT);
            } else {
                EXPECT_TRUE(r.exited);
                EXPECT_EQ(r.exit_status, 1);
            }
            EXPECT_NE(r.err.find("large"), std::string::npos);
            EXPECT_EQ(r.err.find("out of memory"), std::string::npos);
            EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos);
            EXPECT_FALSE(fs::exists(dir / "out.tif"));
        }
    }
}

// ---- TIFFs that libtiff reports errors for while decoding --------------

// A little-endian 8-bit gray TIFF of w x h pixels whose directory comes
// first and whose strips follow it, rows_per_strip rows each, uncompressed
// or Deflate-compressed; *pstrip_offsets receives where each strip's data
// starts.  Cut anywhere after the directory, it still opens.
std::string ifd_first_tiff(std::uint32_t w, std::uint32_t h, std::uint32_t rows_per_strip,
                           bool deflate, const std::vector<std::uint8_t> &pixels,
                           std::vector<std::uint32_t> *pstrip_offsets) {
    std::vector<std::string> strips;
    for (std::uint32_t row = 0; row < h; row += rows_per_strip) {
        const std::size_t begin = static_cast<std::size_t>(row) * w;
        const std::size_t end =
            std::min<std::size_t>(begin + std::size_t{rows_per_strip} * w, pixels.size());
        std::string raw(pixels.begin() + static_cast<std::ptrdiff_t>(begin),
                        pixels.begin() + static_cast<std::ptrdiff_t>(end));
        if (deflate) {
            uLongf size = compressBound(static_cast<uLong>(raw.size()));
            std::string packed(size, '\0');
            compress(reinterpret_cast<Bytef *>(packed.data()), &size,
                     reinterpret_cast<const Bytef *>(raw.data()), static_cast<uLong>(raw.size()));
            packed.resize(size);
            raw = packed;
        }
        strips.push_back(raw);
    }
    const std::uint32_t n = static_cast<std::uint32_t>(strips.size());
    const std::uint16_t tag_count = 9;
    const std::uint32_t ifd_end = 8 + 2 + 12 * tag_count + 4;
    const std::uint32_t offsets_at = ifd_end, counts_at = ifd_end + 4 * n;
    std::uint32_t data_at = counts_at + 4 * n;
    std::string s = "II*";
    s.push_back('\0');
    put_u32le(s, 8);
    put_u16le(s, tag_count);
    auto tag = [&s](std::uint16_t id, std::uint16_t type, std::uint32_t count,
                    std::uint32_t value) {
        put_u16le(s, id);
        put_u16le(s, type);
        put_u32le(s, count);
        if (type == 3 && count == 1) {
            put_u16le(s, static_cast<std::uint16_t>(value));
            put_u16le(s, 0);
        } else {
            put_u32le(s, value);
        }
    };
    tag(256, 4, 1, w);
    tag(257, 4, 1, h);
    tag(258, 3, 1, 8);
    tag(259, 3, 1, deflate ? 8 : 1);
    tag(262, 3, 1, 1);
    tag(273, 4, n, n == 1 ? data_at : offsets_at);
    tag(277, 3, 1, 1);
    tag(278, 4, 1, rows_per_strip);
    tag(279, 4, n, n == 1 ? static_cast<std::uint32_t>(strips[0].size()) : counts_at);
    put_u32le(s, 0);
    pstrip_offsets->clear();
    std::string offsets, counts, data;
    for (const std::string &strip : strips) {
        pstrip_offsets->push_back(data_at);
        put_u32le(offsets, data_at);
        put_u32le(counts, static_cast<std::uint32_t>(strip.size()));
        data += strip;
        data_at += static_cast<std::uint32_t>(strip.size());
    }
    if (n > 1) s += offsets + counts;
    return s + data;
}

// A TIFF disparity map cut in half, or with the data of one of its strips
// overwritten, made libtiff print errors and go on with its previous strip
// buffer: the run wrote stale rows with status 0.  Each is now refused
// after libtiff's message, with status 1 and no output; intact, the same
// files give the map they hold.
TEST(DamagedInputs, ATiffWithErrorsWhileDecodingIsRefused) {
    const std::uint32_t w = 64, h = 48;
    std::vector<std::uint8_t> pixels(w * h);
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<std::uint8_t>(i * 7 / 5);
    const std::vector<int> reference_rgb(w * h * 3, 90);
    for (const bool deflate : {false, true}) {
        std::vector<std::uint32_t> offsets;
        const std::string intact = ifd_first_tiff(w, h, 4, deflate, pixels, &offsets);
        std::string rewritten = intact;
        rewritten.replace(offsets[5], offsets[6] - offsets[5], offsets[6] - offsets[5], '\xff');
        std::vector<std::pair<std::string, std::string>> files = {
            {"intact", intact}, {"cut in half", intact.substr(0, intact.size() / 2)}};
        // Uncompressed, any bytes are pixels.
        if (deflate) files.emplace_back("strip 5 rewritten", rewritten);
        for (const auto &[what, bytes] : files) {
            SCOPED_TRACE(std::string(deflate ? "Deflate, " : "uncompressed, ") + what);
            temp_dir dir;
            write_rgb_image_arr_into_tiff((dir / "ref.tif").c_str(), w, h, reference_rgb.data());
            test_support::write_file(dir / "disp.tif", bytes);
            test_support::write_parameter_file(dir.path(), "ref.tif disp.tif 0 3 10 out.tif\n");
            const run_result r = run_tool(dir.path());
            SCOPED_TRACE(r.err);
            if (what == "intact") {
                ASSERT_TRUE(r.exited && r.exit_status == 0);
                int rw = 0, rh = 0;
                int *arr = nullptr;
                read_tiff_into_image_arr((dir / "out.tif").c_str(), &rw, &rh, &arr);
                EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), arr));
                std::free(arr);
                continue;
            }
            EXPECT_TRUE(r.exited && r.exit_status == 1);
            const std::string tool_line = "dispsmooth: cannot read TIFF image \"disp.tif\"";
            const std::size_t at = r.err.find(tool_line);
            ASSERT_NE(at, std::string::npos);
            // libtiff's own error message comes first.
            bool library_error = false;
            std::istringstream before(r.err.substr(0, at));
            for (std::string line; std::getline(before, line);)
                if (line.find("Warning") == std::string::npos) library_error = true;
            EXPECT_TRUE(library_error);
            EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos);
            EXPECT_FALSE(fs::exists(dir / "out.tif"));
        }
    }
}

// A 37 KB file declaring 4096 x 4096 pixels in strips of one row, with the
// data of the first row only, made libtiff report every missing row and the
// run carry on with status 0.  It is refused at the first missing row.
TEST(DamagedInputs, ATiffWithOneRowOfDataIsRefusedAtOnce) {
    const std::uint32_t w = 4096, h = 4096;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(w) * h, 100);
    std::vector<std::uint32_t> offsets;
    const std::string whole = ifd_first_tiff(w, h, 1, false, pixels, &offsets);
    temp_dir dir;
    test_support::write_file(dir / "huge.tif", whole.substr(0, offsets[1]));
    const std::vector<int> tiny_rgb(4 * 4 * 3, 90);
    write_rgb_image_arr_into_tiff((dir / "tiny.tif").c_str(), 4, 4, tiny_rgb.data());
    test_support::write_parameter_file(dir.path(), "huge.tif tiny.tif 1 3 10 out.tif\n");
    const run_result r = run_tool(dir.path());
    SCOPED_TRACE(r.err.substr(0, 2000));
    EXPECT_TRUE(r.exited && r.exit_status == 1);
    EXPECT_NE(r.err.find("dispsmooth: cannot read TIFF image \"huge.tif\""), std::string::npos);
    EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 3);
    EXPECT_FALSE(fs::exists(dir / "out.tif"));
}

// ---- JPEGs of many scans --------------------------------------------------

// A progressive JPEG of w x h pixels (libjpeg's standard progression, 10
// scans) whose last scan is repeated extra times more: libjpeg warns once
// about the repeated refinement and decodes every repetition.  Flat images
// give repetitions of a few bytes each.
std::string progressive_jpeg(int w, int h, int extra, bool flat) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(w);
    cinfo.image_height = static_cast<JDIMENSION>(h);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<unsigned char> row(static_cast<std::size_t>(w) * 3);
    std::mt19937 rng(3);
    while (cinfo.next_scanline < cinfo.image_height) {
        for (unsigned char &v : row) v = flat ? 100 : static_cast<unsigned char>(rng());
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::string file(reinterpret_cast<const char *>(buffer), size);
    jpeg_destroy_compress(&cinfo);
    std::free(buffer);
    const std::size_t last_scan = file.rfind("\xff\xda");
    const std::size_t end = file.rfind("\xff\xd9");
    const std::string scan = file.substr(last_scan, end - last_scan);
    file.resize(end);
    for (int k = 0; k < extra; ++k) file += scan;
    return file + "\xff\xd9";
}

// Real progressive files have about ten scans, and libjpeg's own tools
// write at most 100: up to 100 are read, the 101st refuses the file with the
// JPEG reader's abnormal end after a message naming it.
TEST(DamagedInputs, AJpegOfMoreThan100ScansIsRefused) {
    for (const int extra : {0, 90, 91}) {
        SCOPED_TRACE(std::to_string(10 + extra) + " scans");
        temp_dir dir;
        test_support::write_file(dir / "scans.jpg", progressive_jpeg(48, 32, extra, false));
        test_support::write_parameter_file(dir.path(), "scans.jpg scans.jpg 1 3 10 out.tif\n");
        const run_result r = run_tool(dir.path());
        SCOPED_TRACE(r.err);
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos);
        if (extra <= 90) {
            EXPECT_TRUE(r.exited && r.exit_status == 0);
            EXPECT_TRUE(fs::exists(dir / "out.tif"));
            continue;
        }
        EXPECT_FALSE(r.exited);
        EXPECT_EQ(r.term_signal, SIGABRT);
        EXPECT_NE(r.err.find("more than 100 scans"), std::string::npos);
        const std::string tool_line = "dispsmooth: cannot read JPEG image \"scans.jpg\"\n";
        ASSERT_GE(r.err.size(), tool_line.size());
        EXPECT_EQ(r.err.substr(r.err.size() - tool_line.size()), tool_line);
        EXPECT_FALSE(fs::exists(dir / "out.tif"));
    }
    REQUIRE_TESTDATA();
    for (const char *name :
         {"jpeg/mozilla/jpg-progressive.jpg", "jpeg/libjpeg-turbo/testimgp.jpg"}) {
        temp_dir dir;
        fs::copy_file(test_support::testdata_dir() / name, dir / "p.jpg");
        test_support::write_parameter_file(dir.path(), "p.jpg p.jpg 1 3 10 out.tif\n");
        const run_result r = run_tool(dir.path());
        EXPECT_TRUE(r.exited && r.exit_status == 0) << name << ": " << r.err;
    }
}

// A file of 3000 scans costs no more than one of 100 before it is refused:
// the 2048 x 2048 image is the reference image of a run whose disparity map
// has another size, so each run ends right after reading it.
TEST(DamagedInputs, AJpegOfThousandsOfScansIsRefusedQuickly) {
    double seconds[2] = {0, 0};
    for (const int k : {0, 1}) {
        temp_dir dir;
        test_support::write_file(dir / "many.jpg",
                                 progressive_jpeg(2048, 2048, k == 0 ? 90 : 2990, true));
        const std::vector<int> tiny_rgb(4 * 4 * 3, 90);
        write_rgb_image_arr_into_tiff((dir / "tiny.tif").c_str(), 4, 4, tiny_rgb.data());
        test_support::write_parameter_file(dir.path(), "many.jpg tiny.tif 1 3 10 out.tif\n");
        const auto start = std::chrono::steady_clock::now();
        const run_result r = run_tool(dir.path());
        const auto elapsed = std::chrono::steady_clock::now() - start;
        seconds[k] = std::chrono::duration<double>(elapsed).count();
        EXPECT_EQ(r.exited, k == 0) << r.err;
        EXPECT_NE(r.err.find(k == 0 ? "they must have the same size" : "more than 100 scans"),
                  std::string::npos)
            << r.err;
    }
    EXPECT_LT(seconds[1], 2 * seconds[0] + 2) << seconds[0] << " s for 100 scans";
}

}  // namespace
