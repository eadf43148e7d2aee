#include "batch/frame_work.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "dispsmooth/disparity_io.hpp"
#include "dispsmooth/dispsmooth.hpp"

namespace dispsmooth::batch {

namespace {

namespace fs = std::filesystem;

bool has_extension(const std::string &path, const char *lower) {
    std::string ext = fs::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == lower;
}

std::string size_text(int width, int height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

void read_gray8(const std::string &path, loaded_frame *map) {
    const gray_image image = read_gray_image(path);
    map->width = image.width;
    map->height = image.height;
    map->gray8.resize(image.pixels.size());
    for (std::size_t i = 0; i < image.pixels.size(); ++i)
        map->gray8[i] = static_cast<std::uint8_t>(image.pixels[i]);
    map->stored = encoding::gray8;
}

void read_disparity(const std::string &path, encoding wanted, loaded_frame *map) {
    if (wanted == encoding::automatic) {
        if (has_extension(path, ".pfm")) {
            wanted = encoding::pfm;
        } else if (has_extension(path, ".png") || has_extension(path, ".tif") ||
                   has_extension(path, ".tiff")) {
            uint16_image image = read_uint16_image(path);
            if (image.bit_depth != 16) {
                read_gray8(path, map);
                return;
            }
            map->width = image.width;
            map->height = image.height;
            map->levels16 = std::move(image.pixels);
            map->stored = encoding::kitti;
            return;
        } else {
            wanted = encoding::gray8;
        }
    }
    switch (wanted) {
    case encoding::gray8:
        read_gray8(path, map);
        return;
    case encoding::kitti: {
        uint16_image image = read_uint16_image(path);
        if (image.bit_depth != 16)
            throw error("\"" + path + "\" has " + std::to_string(image.bit_depth) +
                        "-bit samples; KITTI's maps are 16-bit (--encoding gray8 reads 8-bit "
                        "maps)");
        map->width = image.width;
        map->height = image.height;
        map->levels16 = std::move(image.pixels);
        map->stored = encoding::kitti;
        return;
    }
    case encoding::pfm: {
        float_image image = read_pfm(path);
        map->width = image.width;
        map->height = image.height;
        map->floats = std::move(image.pixels);
        map->stored = encoding::pfm;
        return;
    }
    case encoding::automatic:
        break;
    }
}

// The invalid value of the map's encoding and the options.
std::optional<double> invalid_value(encoding stored, const batch_options &options) {
    if (options.no_invalid) return std::nullopt;
    if (options.invalid) return options.invalid;
    if (stored == encoding::kitti) return 0.0;
    return std::nullopt;
}

// A pixel of the map: its disparity in pixels, or nothing where invalid.
std::optional<double> disparity_at(const loaded_frame &map, std::size_t i,
                                   const std::optional<double> &invalid) {
    double v = 0;
    switch (map.stored) {
    case encoding::gray8:
        v = map.gray8[i];
        break;
    case encoding::kitti:
        v = map.levels16[i];
        break;
    default:
        v = map.floats[i];
        if (!std::isfinite(v)) return std::nullopt;
        break;
    }
    if (invalid && v == *invalid) return std::nullopt;
    return map.stored == encoding::kitti ? v * kitti_step : v;
}

[[noreturn]] void refuse_value(double d, std::size_t i, int width, const char *where) {
    throw error("the disparity " + std::to_string(d) + " at row " +
                std::to_string(i / static_cast<std::size_t>(width)) + ", column " +
                std::to_string(i % static_cast<std::size_t>(width)) + " cannot be stored " + where);
}

}  // namespace

loaded_frame load_frame(const frame &f, const batch_options &options) {
    if (f.reference.empty()) throw error(f.missing_reference);
    loaded_frame map;
    read_disparity(f.disparity, options.input_encoding, &map);
    const rgb_image reference = read_rgb_image(f.reference);
    if (reference.width != map.width || reference.height != map.height)
        throw error("reference image is " + size_text(reference.width, reference.height) +
                    " but disparity map is " + size_text(map.width, map.height) +
                    "; they must have the same size");
    map.reference.resize(reference.samples.size());
    for (std::size_t i = 0; i < reference.samples.size(); ++i)
        map.reference[i] = static_cast<std::uint8_t>(reference.samples[i]);
    return map;
}

void smooth_frame(loaded_frame &map, const batch_options &options, int threads,
                  const std::atomic<bool> *cancel) {
    level_options levels;
    levels.fill = options.fill;
    levels.invalid = invalid_value(map.stored, options);
    smooth_options run;
    run.threads = threads;
    run.cancel = cancel;
    switch (map.stored) {
    case encoding::gray8:
        levels.min_d = 0;
        levels.max_d = 255;
        smooth_map(map.width, map.height, map.reference.data(), map.gray8.data(), options.radius,
                   options.sigma_space, options.sigma_color, levels, run);
        return;
    case encoding::kitti:
        levels.min_d = 0;
        levels.max_d = 65535;
        smooth_map(map.width, map.height, map.reference.data(), map.levels16.data(), options.radius,
                   options.sigma_space, options.sigma_color, levels, run);
        return;
    default: {
        // The range of the map's own levels: the smoothing costs the same
        // whatever the range, and every valid level must lie in it.
        double lo = std::numeric_limits<double>::infinity();
        double hi = -lo;
        for (const float v : map.floats) {
            if (!std::isfinite(v) || (levels.invalid && v == *levels.invalid)) continue;
            lo = std::min(lo, static_cast<double>(v));
            hi = std::max(hi, static_cast<double>(v));
        }
        levels.step = options.step;
        if (lo <= hi) {
            const double min_level = std::floor(lo / options.step) - 1;
            const double max_level = std::ceil(hi / options.step) + 1;
            const double limit = std::numeric_limits<int>::max();
            if (min_level < -limit || max_level > limit)
                throw error("disparities from " + std::to_string(lo) + " to " + std::to_string(hi) +
                            " are too many levels of " + std::to_string(options.step) +
                            " (--step)");
            levels.min_d = static_cast<int>(min_level);
            levels.max_d = static_cast<int>(max_level);
        }
        smooth_map(map.width, map.height, map.reference.data(), map.floats.data(), options.radius,
                   options.sigma_space, options.sigma_color, levels, run);
        return;
    }
    }
}

void write_frame(const loaded_frame &map, const frame &f, const batch_options &options) {
    const encoding target = options.output_encoding.value_or(map.stored);
    const fs::path parent = fs::path(f.output).parent_path();
    if (!parent.empty()) {
        std::error_code ec;
        fs::create_directories(parent, ec);
        if (ec)
            throw file_error("cannot make the folder \"" + parent.string() + "\": " + ec.message());
    }
    const std::size_t n = static_cast<std::size_t>(map.width) * map.height;
    const std::optional<double> invalid = invalid_value(map.stored, options);
    switch (target) {
    case encoding::gray8: {
        gray_image image;
        image.width = map.width;
        image.height = map.height;
        image.pixels.resize(n);
        const int hole = options.invalid && *options.invalid >= 0 && *options.invalid <= 255
                             ? static_cast<int>(*options.invalid)
                             : 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (map.stored == encoding::gray8) {
                image.pixels[i] = map.gray8[i];
                continue;
            }
            const std::optional<double> d = disparity_at(map, i, invalid);
            if (!d) {
                image.pixels[i] = hole;
                continue;
            }
            const double level = std::nearbyint(*d);
            if (level < 0 || level > 255) refuse_value(*d, i, map.width, "in 8 bits (0 to 255)");
            image.pixels[i] = static_cast<int>(level);
        }
        write_image(f.output, image);
        return;
    }
    case encoding::kitti: {
        uint16_image image;
        image.width = map.width;
        image.height = map.height;
        if (map.stored == encoding::kitti) {
            image.pixels = map.levels16;
        } else {
            image.pixels.resize(n);
            for (std::size_t i = 0; i < n; ++i) {
                const std::optional<double> d = disparity_at(map, i, invalid);
                if (!d) continue;  // 0: no disparity
                const double level = std::nearbyint(*d * 256);
                if (level < 1 || level > 65535)
                    refuse_value(*d, i, map.width, "in KITTI's encoding (1/256 to 255.996)");
                image.pixels[i] = static_cast<std::uint16_t>(level);
            }
        }
        write_uint16_image(f.output, image);
        return;
    }
    default: {
        float_image image;
        image.width = map.width;
        image.height = map.height;
        if (map.stored == encoding::pfm) {
            image.pixels = map.floats;
        } else {
            image.pixels.resize(n);
            for (std::size_t i = 0; i < n; ++i) {
                const std::optional<double> d = disparity_at(map, i, invalid);
                image.pixels[i] =
                    d ? static_cast<float>(*d) : std::numeric_limits<float>::infinity();
            }
        }
        write_pfm(f.output, image);
        return;
    }
    }
}

}  // namespace dispsmooth::batch
