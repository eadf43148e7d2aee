#include "batch/batch_options.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

namespace dispsmooth::batch {

namespace {

const char *const usage =
    R"(Usage: dispsmooth-batch [OPTION]... --out DIR REFERENCE_DIR DISPARITY_DIR
       dispsmooth-batch [OPTION]... --out DIR REFERENCE DISPARITY [REFERENCE DISPARITY]...
       dispsmooth-batch [OPTION]... --out DIR SCENES_DIR
       dispsmooth-batch [OPTION]... --out DIR --list FILE
Smooth many disparity maps with one set of parameters, each guided by its
reference image, and write the results under DIR with the inputs' names.

Inputs:
  REFERENCE_DIR DISPARITY_DIR  each file of DISPARITY_DIR with the file of the
                               same name in REFERENCE_DIR (KITTI: image_2/
                               and disp_noc_0/)
  REFERENCE DISPARITY ...      pairs of files
  SCENES_DIR                   each folder holding the reference and disparity
                               names below (Middlebury: Scene/im0.png and
                               Scene/disp0.pfm), the folder itself included
      --list FILE              pairs from FILE, one "REFERENCE DISPARITY" a
                               line (whitespace between; # starts a comment)
      --reference-name NAME    the reference of a scene folder (im0.png)
      --disparity-name NAME    the disparity of a scene folder (disp0.pfm)

Smoothing:
      --radius N               window of (2N+1)^2 pixels (9)
      --sigma-space S          spatial fall-off of the weights (9)
      --sigma-color S          colour fall-off of the weights (20)
      --encoding E             how the disparities are stored: auto (default:
                               pfm for .pfm names, kitti for 16-bit files,
                               gray8 otherwise), gray8, kitti (16-bit PNG or
                               TIFF, disparity x 256, 0 invalid) or pfm
      --output-encoding E      gray8, kitti or pfm (default: the input's)
      --invalid V|none         the value that marks invalid pixels, in the
                               stored units (kitti: 0 unless none)
      --fill                   give invalid pixels the weighted median of
                               the valid pixels of their window
      --step S                 level of a PFM's disparities (1/16)

Running:
      --out DIR                where the outputs go (made as needed); an
                               output never replaces an input
      --threads N              threads in all (default: one per processor)
      --json                   one JSON line per frame on standard output
      --fail-fast              stop at the first frame that fails
      --help                   print this help and exit
      --version                print the version and exit

Exit status: 0 when every frame was smoothed, 1 when some failed, 2 for a
wrong command line.  Ctrl-C stops after the frames being written.
)";

bool parse_int(const std::string &text, int *value) {
    const char *end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, *value);
    return ec == std::errc() && ptr == end && !text.empty();
}

bool parse_double(const std::string &text, double *value) {
    if (text.empty()) return false;
    // A fraction such as 1/16.
    const std::string::size_type slash = text.find('/');
    if (slash != std::string::npos) {
        double num = 0;
        double den = 0;
        if (!parse_double(text.substr(0, slash), &num) ||
            !parse_double(text.substr(slash + 1), &den) || den == 0)
            return false;
        *value = num / den;
        return std::isfinite(*value);
    }
    char *end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(*value);
}

encoding parse_encoding(const std::string &option, const std::string &text, bool reading) {
    if (text == "auto" && reading) return encoding::automatic;
    if (text == "gray8") return encoding::gray8;
    if (text == "kitti") return encoding::kitti;
    if (text == "pfm") return encoding::pfm;
    throw usage_error(option + " is \"" + text + "\"; it must be " +
                      (reading ? "auto, gray8, kitti or pfm" : "gray8, kitti or pfm"));
}

}  // namespace

const char *encoding_name(encoding e) {
    switch (e) {
    case encoding::automatic:
        return "auto";
    case encoding::gray8:
        return "gray8";
    case encoding::kitti:
        return "kitti";
    case encoding::pfm:
        return "pfm";
    }
    return "?";
}

const char *usage_text() { return usage; }

batch_options parse_options(int argc, char **argv) {
    batch_options options;
    bool inputs_only = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (inputs_only || arg.size() < 2 || arg[0] != '-' || arg == "-") {
            options.inputs.push_back(arg);
            continue;
        }
        if (arg == "--") {
            inputs_only = true;
            continue;
        }
        std::string value;
        bool has_value = false;
        const std::string::size_type eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            has_value = true;
        }
        const auto take = [&]() -> std::string {
            if (has_value) return value;
            if (i + 1 >= argc) throw usage_error(arg + " needs a value");
            return argv[++i];
        };
        const auto flag = [&]() {
            if (has_value) throw usage_error(arg + " takes no value");
        };
        if (arg == "--help" || arg == "-h") {
            flag();
            options.help = true;
        } else if (arg == "--version") {
            flag();
            options.version = true;
        } else if (arg == "--radius") {
            const std::string v = take();
            if (!parse_int(v, &options.radius) || options.radius < 0)
                throw usage_error("--radius is \"" + v +
                                  "\"; it must be a whole number of 0 or more");
        } else if (arg == "--sigma-space" || arg == "--sigma-color") {
            const std::string v = take();
            double *target = arg == "--sigma-space" ? &options.sigma_space : &options.sigma_color;
            if (!parse_double(v, target) || *target * *target == 0) {
                std::string message = arg;
                message += " is \"" + v + "\"; it must be a number whose square is not 0";
                throw usage_error(message);
            }
        } else if (arg == "--encoding") {
            options.input_encoding = parse_encoding(arg, take(), true);
        } else if (arg == "--output-encoding") {
            options.output_encoding = parse_encoding(arg, take(), false);
        } else if (arg == "--invalid") {
            const std::string v = take();
            double d = 0;
            if (v == "none") {
                options.no_invalid = true;
                options.invalid.reset();
            } else if (parse_double(v, &d)) {
                options.invalid = d;
                options.no_invalid = false;
            } else {
                throw usage_error("--invalid is \"" + v + "\"; it must be a number or none");
            }
        } else if (arg == "--fill") {
            flag();
            options.fill = true;
        } else if (arg == "--step") {
            const std::string v = take();
            if (!parse_double(v, &options.step) || options.step <= 0)
                throw usage_error("--step is \"" + v + "\"; it must be a number above 0");
        } else if (arg == "--threads") {
            const std::string v = take();
            if (!parse_int(v, &options.threads) || options.threads < 1 || options.threads > 1024)
                throw usage_error("--threads is \"" + v + "\"; it must be 1 to 1024");
        } else if (arg == "--json") {
            flag();
            options.json = true;
        } else if (arg == "--fail-fast") {
            flag();
            options.fail_fast = true;
        } else if (arg == "--out" || arg == "-o") {
            options.out_dir = take();
            if (options.out_dir.empty()) throw usage_error("--out needs a directory");
        } else if (arg == "--list") {
            options.list_file = take();
        } else if (arg == "--reference-name") {
            options.reference_name = take();
        } else if (arg == "--disparity-name") {
            options.disparity_name = take();
        } else {
            throw usage_error("unknown option " + arg);
        }
    }
    if (options.help || options.version) return options;
    if (options.out_dir.empty()) throw usage_error("no --out directory given");
    if (options.inputs.empty() && options.list_file.empty()) throw usage_error("no inputs given");
    if (!options.inputs.empty() && !options.list_file.empty())
        throw usage_error("--list and inputs on the command line do not go together");
    return options;
}

}  // namespace dispsmooth::batch
