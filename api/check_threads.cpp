#include <string>

#include "api/api_internal.h"

namespace dispsmooth::api {

void check_threads(int threads) {
    if (threads < 0 || threads > max_threads)
        throw error("dispsmooth: threads is " + std::to_string(threads) + "; it must be 1.." +
                    std::to_string(max_threads) + ", or 0 for the default");
}

}  // namespace dispsmooth::api
