// dispsmooth: smooths a stereo disparity map with a colour-guided weighted
// median.  All run parameters come from "kelv_input.txt" in the current
// directory; command-line arguments are ignored.
#include "dispsmooth/driver.h"

int main() { return run_dispsmooth(); }
