// The command line of dispsmooth-batch: the smoothing's parameters, the
// disparity encodings, the inputs and where the outputs go.
#ifndef DISPSMOOTH_BATCH_BATCH_OPTIONS_H
#define DISPSMOOTH_BATCH_BATCH_OPTIONS_H

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace dispsmooth::batch {

// How a disparity file holds its values.
enum class encoding {
    automatic,  // reading only: pfm for a .pfm name, kitti for a 16-bit file, gray8 otherwise
    gray8,      // the tool's 8-bit maps: the red sample is the disparity in pixels
    kitti,      // 16-bit PNG or TIFF: disparity x 256, 0 where there is none
    pfm,        // float32 PFM: the disparity, inf or NaN where there is none
};

// The name of an encoding on the command line.
const char *encoding_name(encoding e);

// A command line that cannot be run: exit status 2, with the message.
class usage_error : public std::runtime_error {
public:
    explicit usage_error(const std::string &message) : std::runtime_error(message) {}
};

struct batch_options {
    int radius = 9;
    double sigma_space = 9.0;
    double sigma_color = 20.0;
    encoding input_encoding = encoding::automatic;
    // Unset: each output in its input's encoding.
    std::optional<encoding> output_encoding;
    // The value that marks invalid pixels besides the encoding's own (KITTI's
    // 0, a PFM's inf and NaN); "none" clears KITTI's.
    std::optional<double> invalid;
    bool no_invalid = false;
    bool fill = false;
    // The size of one level of a PFM's disparities when they are smoothed.
    double step = 1.0 / 16;
    int threads = 0;  // 0: one per processor
    bool json = false;
    bool fail_fast = false;
    std::string out_dir;
    std::string list_file;
    std::string reference_name = "im0.png";
    std::string disparity_name = "disp0.pfm";
    std::vector<std::string> inputs;
    bool help = false;
    bool version = false;
};

// Parses argv[1..argc-1]; throws usage_error for a wrong command line.
batch_options parse_options(int argc, char **argv);

// The --help text.
const char *usage_text();

}  // namespace dispsmooth::batch

#endif
