// PFM files: a text header ("Pf" or "PF", width, height, scale; one
// whitespace character after the scale), then float32 samples in the byte
// order the scale's sign gives (negative: little-endian), rows bottom to
// top.
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/api_internal.h"
#include "common/codec_failure.h"
#include "common/memory_budget.h"
#include "common/output_file.h"
#include "disparity_io/disparity_io_internal.h"
#include "dispsmooth/disparity_io.hpp"

namespace dispsmooth {

namespace {

struct file_closer {
    void operator()(std::FILE *fp) const { (void)std::fclose(fp); }
};

[[noreturn]] void refuse_pfm(const std::string &path, const std::string &why) {
    throw file_error("dispsmooth: cannot read PFM image \"" + path + "\": " + why);
}

// The next header token: leading whitespace skipped, at most 63 other
// characters, ended by one whitespace character, which is consumed.
// Empty at the end of the file or for a token too long.
std::string next_token(std::FILE *fp) {
    int c = std::getc(fp);
    for (int skipped = 0; c != EOF && std::isspace(c) != 0; ++skipped) {
        if (skipped > 256) return {};
        c = std::getc(fp);
    }
    std::string token;
    while (c != EOF && std::isspace(c) == 0) {
        if (token.size() >= 63) return {};
        token += static_cast<char>(c);
        c = std::getc(fp);
    }
    if (c == EOF) return {};
    return token;
}

// A width or height: 1 to 10 decimal digits, at most 2^31 - 1; -1 otherwise.
long long parse_size(const std::string &token) {
    if (token.empty() || token.size() > 10) return -1;
    long long v = 0;
    for (const char c : token) {
        if (c < '0' || c > '9') return -1;
        v = 10 * v + (c - '0');
    }
    return v <= 0x7fffffffLL ? v : -1;
}

std::uint32_t swap_bytes(std::uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xff00U) | ((v << 8) & 0xff0000U) | (v << 24);
}

// float_image's checks before any file is opened.
void check_float_image(const float_image &image) {
    api::check_image_size(image.width, image.height);
    const std::size_t n =
        static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
    if (image.width == 0 || image.height == 0)
        throw error("dispsmooth: cannot write an empty image (" + std::to_string(image.width) +
                    "x" + std::to_string(image.height) + " pixels)");
    if (image.pixels.size() != n)
        throw error("dispsmooth: image of " + std::to_string(image.width) + "x" +
                    std::to_string(image.height) + " pixels holds " +
                    std::to_string(image.pixels.size()) + " values; it must hold " +
                    std::to_string(n));
}

}  // namespace

float_image read_pfm(const std::string &path) {
    std::unique_ptr<std::FILE, file_closer> fp(std::fopen(path.c_str(), "rb"));
    if (!fp)
        throw file_error("dispsmooth: cannot open \"" + path +
                         "\" for reading: " + std::strerror(errno));
    const std::string magic = next_token(fp.get());
    if (magic != "Pf" && magic != "PF") refuse_pfm(path, "not a PFM file (no \"Pf\" or \"PF\")");
    const std::size_t channels = magic == "PF" ? 3 : 1;
    const long long width = parse_size(next_token(fp.get()));
    const long long height = parse_size(next_token(fp.get()));
    if (width <= 0 || height <= 0) refuse_pfm(path, "no valid width and height in the header");
    if (width * height > max_image_pixels)
        refuse_pfm(path,
                   std::to_string(width) + " x " + std::to_string(height) + " pixels is too large");
    const std::string scale_token = next_token(fp.get());
    char *end = nullptr;
    const double scale = scale_token.empty() ? 0 : std::strtod(scale_token.c_str(), &end);
    if (scale_token.empty() || *end != '\0' || !std::isfinite(scale) || scale == 0)
        refuse_pfm(path, "the scale \"" + scale_token +
                             "\" is not a number other than 0 (its sign gives the byte order)");
    const bool little = scale < 0;

    const std::uint64_t row_bytes = static_cast<std::uint64_t>(width) * channels * 4;
    const std::uint64_t data_bytes = row_bytes * static_cast<std::uint64_t>(height);
    const long long file_size = disparity_detail::stream_size(fp.get());
    const long off = std::ftell(fp.get());
    if (file_size >= 0 && off >= 0 && static_cast<std::uint64_t>(file_size - off) < data_bytes)
        refuse_pfm(path, "truncated: the header declares " + std::to_string(width) + " x " +
                             std::to_string(height) + " pixels (" + std::to_string(data_bytes) +
                             " bytes of data), the file holds " + std::to_string(file_size - off));
    codec_failure failure;
    const std::uint64_t pixel_count = static_cast<std::uint64_t>(width) * height;
    if (!try_reserve_image_memory(path.c_str(), pixel_count * 4 + row_bytes, width, height,
                                  &failure))
        api::throw_codec_failure(failure);

    float_image image;
    image.width = static_cast<int>(width);
    image.height = static_cast<int>(height);
    image.pixels.resize(static_cast<std::size_t>(pixel_count));
    std::vector<std::uint32_t> row(static_cast<std::size_t>(width) * channels);
    const bool swap = little != (std::endian::native == std::endian::little);
    for (long long r = 0; r < height; ++r) {
        if (std::fread(row.data(), 4, row.size(), fp.get()) != row.size())
            refuse_pfm(path, "truncated: the data ends in row " + std::to_string(r) + " of " +
                                 std::to_string(height) + " (counted from the bottom)");
        float *target = image.pixels.data() +
                        static_cast<std::size_t>(height - 1 - r) * static_cast<std::size_t>(width);
        for (long long x = 0; x < width; ++x) {
            std::uint32_t bits = row[static_cast<std::size_t>(x) * channels];
            if (swap) bits = swap_bytes(bits);
            target[x] = std::bit_cast<float>(bits);
        }
    }
    if (std::ferror(fp.get()) != 0) refuse_pfm(path, std::strerror(errno));
    return image;
}

void write_pfm(const std::string &path, const float_image &image) {
    check_float_image(image);
    output_file out;
    begin_output_file(path.c_str(), &out);
    std::FILE *fp = out.temp_fd >= 0 ? fdopen(out.temp_fd, "wb") : std::fopen(path.c_str(), "wb");
    if (fp == nullptr) {
        const int open_errno = errno;
        if (out.temp_fd >= 0) {
            close(out.temp_fd);
            discard_output_file(&out);
        }
        throw file_error("dispsmooth: cannot open \"" + path +
                         "\" for writing: " + std::strerror(open_errno));
    }
    const auto width = static_cast<std::size_t>(image.width);
    bool written = std::fprintf(fp, "Pf\n%d %d\n-1\n", image.width, image.height) > 0;
    std::vector<std::uint32_t> row(width);
    const bool swap = std::endian::native != std::endian::little;
    for (int y = image.height - 1; written && y >= 0; --y) {
        const float *source = image.pixels.data() + static_cast<std::size_t>(y) * width;
        for (std::size_t x = 0; x < width; ++x) {
            const auto bits = std::bit_cast<std::uint32_t>(source[x]);
            row[x] = swap ? swap_bytes(bits) : bits;
        }
        written = std::fwrite(row.data(), 4, width, fp) == width;
    }
    if (!written) {
        const int write_errno = errno;
        (void)std::fclose(fp);
        if (out.temp_path != nullptr) {
            discard_output_file(&out);
        } else {
            struct stat st {};
            if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(path.c_str());
        }
        throw file_error("dispsmooth: cannot write PFM image \"" + path +
                         "\": " + std::strerror(write_errno));
    }
    if (!close_output_file(fp, &out))
        throw file_error("dispsmooth: cannot write PFM image \"" + path +
                         "\": " + std::strerror(errno));
}

}  // namespace dispsmooth
