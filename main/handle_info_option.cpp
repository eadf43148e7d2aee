#include "dispsmooth/driver.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const char usage_text[] =
    "Usage: dispsmooth [--help | --version]\n"
    "\n"
    "Smooths a stereo disparity map with a colour-guided weighted median.\n"
    "\n"
    "dispsmooth reads the parameter file \"kelv_input.txt\" in the current directory:\n"
    "six tokens separated by any whitespace, in this order:\n"
    "  1  reference image          colour image the disparities belong to\n"
    "  2  disparity map            8-bit map of the same size\n"
    "  3  radius                   window of (2 radius + 1)^2 pixels; 0 changes nothing\n"
    "  4  sigma_space              fall-off of the weight with distance (not 0)\n"
    "  5  sigma_color              fall-off of the weight with colour difference (not 0)\n"
    "  6  smoothed disparity map   output file, replaced if it exists\n"
    "\n"
    "Each file's format comes from the extension of its name:\n"
    "  TIFF  tiff TIFF tif TIF    PNG  png PNG    JPEG  jpeg JPEG jpg JPG\n"
    "\n"
    "  --help      print this text and exit\n"
    "  --version   print the version and the image libraries' versions and exit\n"
    "Any other arguments are ignored.\n"
    "\n"
    "More: man dispsmooth\n";

bool print_usage() {
    (void)std::fputs(usage_text, stdout);
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
}

}  // namespace

bool handle_info_option(int argc, char **argv, int *pstatus) {
    if (argc != 2 || argv == nullptr || argv[1] == nullptr) return false;
    bool written;
    if (std::strcmp(argv[1], "--help") == 0)
        written = print_usage();
    else if (std::strcmp(argv[1], "--version") == 0)
        written = print_version_info();
    else
        return false;
    if (!written) {
        const int error = errno;
        (void)std::fprintf(stderr, "dispsmooth: cannot write to standard output: %s\n",
                           std::strerror(error));
    }
    *pstatus = written ? 0 : 1;
    return true;
}
