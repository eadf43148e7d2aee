// dispsmooth: smooths a stereo disparity map with a colour-guided weighted
// median.  All run parameters come from "kelv_input.txt" in the current
// directory.  "--help" or "--version" as the only argument prints that
// information instead; any other arguments are ignored.
#include "dispsmooth/driver.h"

#include "common/alloc.h"

#include <cstdio>
#include <exception>
#include <new>

int main(int argc, char **argv) {
    // Whatever runs out of memory, in the driver, a codec or the smoothing's
    // threads, ends with a message and status 1 rather than an exception.
    std::set_new_handler(dispsmooth::exit_out_of_memory);
    try {
        int status = 0;
        if (handle_info_option(argc, argv, &status)) return status;
        return run_dispsmooth();
    } catch (const std::exception &e) {
        (void)std::fflush(stdout);
        (void)std::fprintf(stderr, "dispsmooth: %s\n", e.what());
    } catch (...) {
        (void)std::fflush(stdout);
        (void)std::fputs("dispsmooth: unexpected error\n", stderr);
    }
    return 1;
}
