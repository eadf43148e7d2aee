#include "dispsmooth/smoothing.h"

#include <climits>
#include <cstddef>

int color_distance_squared(int width, int /*height*/, const int *guide_arr, int i1, int j1, int i2,
                           int j2) {
    // Positions and the sum are held in 64 bits so that neither large images
    // nor arbitrary sample values overflow; a sum beyond int saturates.
    const std::ptrdiff_t p1 = 3 * (static_cast<std::ptrdiff_t>(i1) * width + j1);
    const std::ptrdiff_t p2 = 3 * (static_cast<std::ptrdiff_t>(i2) * width + j2);
    long long sum = 0;
    for (int c = 0; c < 3; ++c) {
        const long long diff =
            static_cast<long long>(guide_arr[p1 + c]) - static_cast<long long>(guide_arr[p2 + c]);
        // |diff| > 46340 alone squares to more than INT_MAX; checking it
        // first keeps the square itself from overflowing 64 bits.
        if (diff > 46340 || diff < -46340) return INT_MAX;
        sum += diff * diff;
    }
    return sum > INT_MAX ? INT_MAX : static_cast<int>(sum);
}
