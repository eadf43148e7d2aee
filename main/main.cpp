// dispsmooth: smooths a stereo disparity map with a colour-guided weighted
// median.  All run parameters come from "kelv_input.txt" in the current
// directory.  "--help" or "--version" as the only argument prints that
// information instead; any other arguments are ignored.
#include "dispsmooth/driver.h"

int main(int argc, char **argv) {
    int status = 0;
    if (handle_info_option(argc, argv, &status)) return status;
    return run_dispsmooth();
}
