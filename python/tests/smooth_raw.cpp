// smooth_raw ROUTINE IN OUT: runs a smoothing routine of the library on raw
// arrays, for comparison with the Python module.  IN holds, in native byte
// order, the ints width, height, min_d, max_d, radius, the doubles
// sigma_space, sigma_color, then 3 x width x height ints of the reference
// image and width x height ints of the disparity map.  OUT receives the
// width x height ints of the smoothed map.  ROUTINE is "fast"
// (smooth_disparity_weighted_median) or "reference"
// (smooth_disparity_weighted_median_reference).
#include "dispsmooth/smoothing.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <vector>

int main(int argc, char **argv) {
    if (argc != 4 ||
        (std::strcmp(argv[1], "fast") != 0 && std::strcmp(argv[1], "reference") != 0)) {
        std::cerr << "usage: smooth_raw fast|reference IN OUT\n";
        return 2;
    }
    std::ifstream in(argv[2], std::ios::binary);
    int header[5];
    double sigmas[2];
    in.read(reinterpret_cast<char *>(header), sizeof header);
    in.read(reinterpret_cast<char *>(sigmas), sizeof sigmas);
    const int width = header[0], height = header[1];
    if (!in || width < 0 || height < 0) {
        std::cerr << "smooth_raw: cannot read the header of " << argv[2] << "\n";
        return 1;
    }
    const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    std::vector<int> image(3 * n), disp(n);
    in.read(reinterpret_cast<char *>(image.data()),
            static_cast<std::streamsize>(image.size() * sizeof(int)));
    in.read(reinterpret_cast<char *>(disp.data()),
            static_cast<std::streamsize>(disp.size() * sizeof(int)));
    if (!in) {
        std::cerr << "smooth_raw: " << argv[2] << " is cut short\n";
        return 1;
    }
    const auto routine = std::strcmp(argv[1], "fast") == 0
                             ? smooth_disparity_weighted_median
                             : smooth_disparity_weighted_median_reference;
    routine(width, height, image.data(), disp.data(), header[2], header[3], header[4], sigmas[0],
            sigmas[1]);
    std::ofstream out(argv[3], std::ios::binary);
    out.write(reinterpret_cast<const char *>(disp.data()),
              static_cast<std::streamsize>(disp.size() * sizeof(int)));
    return out ? 0 : 1;
}
