// dispsmooth-batch: the smoothing of whole datasets, many pairs of a
// reference image and a disparity map with one set of parameters.
#include <cstdio>
#include <exception>
#include <new>
#include <vector>

#include "batch/batch_options.h"
#include "batch/batch_run.h"
#include "batch/frame_list.h"
#include "dispsmooth/version.h"

int main(int argc, char **argv) {
    using namespace dispsmooth::batch;
    try {
        const batch_options options = parse_options(argc, argv);
        if (options.help) {
            (void)std::fputs(usage_text(), stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        if (options.version) {
            std::printf("dispsmooth-batch %s\n", DISPSMOOTH_VERSION);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        const std::vector<frame> frames = plan_frames(options);
        return run_batch(options, frames);
    } catch (const usage_error &e) {
        (void)std::fprintf(stderr, "dispsmooth-batch: %s\nTry 'dispsmooth-batch --help'.\n",
                           e.what());
        return 2;
    } catch (const std::bad_alloc &) {
        (void)std::fputs("dispsmooth-batch: out of memory\n", stderr);
        return 1;
    } catch (const std::exception &e) {
        (void)std::fprintf(stderr, "dispsmooth-batch: %s\n", e.what());
        return 1;
    }
}
