#include "dispsmooth/smoothing.h"

#include <climits>

void normalize_image(const int *src_arr, int *dst_arr, int n, int a, int b) {
    if (n <= 0) return;
    if (a == b) error_handler("normalize_image");
    // Differences of ints are exact in double, so this equals the int
    // subtraction wherever that does not overflow.
    const double range = static_cast<double>(b) - static_cast<double>(a);
    for (int i = 0; i < n; ++i) {
        const double v = ((static_cast<double>(src_arr[i]) - static_cast<double>(a)) / range) * 255;
        // Truncation toward zero, saturated where the result leaves int.
        if (v >= 2147483648.0)
            dst_arr[i] = INT_MAX;
        else if (v <= -2147483649.0)
            dst_arr[i] = INT_MIN;
        else
            dst_arr[i] = static_cast<int>(v);
    }
}
