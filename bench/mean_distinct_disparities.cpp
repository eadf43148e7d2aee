#include <cstddef>
#include <vector>

#include "bench/make_scene.h"

double bench::mean_distinct_disparities(const scene &s, int radius, int step) {
    if (radius < 0 || step < 1) return 0.0;
    // seen[d] == stamp marks d as met in the current window.
    std::vector<long long> seen;
    long long stamp = 0, windows = 0, distinct = 0;
    for (int y = radius; y + radius < s.height; y += step)
        for (int x = radius; x + radius < s.width; x += step) {
            ++stamp;
            ++windows;
            for (int v = y - radius; v <= y + radius; ++v)
                for (int u = x - radius; u <= x + radius; ++u) {
                    const int d = s.disp[static_cast<std::size_t>(v) * s.width + u];
                    if (d < 0) continue;  // not counted: the scenes hold 0..255
                    if (static_cast<std::size_t>(d) >= seen.size()) seen.resize(d + 1, 0);
                    if (seen[d] != stamp) {
                        seen[d] = stamp;
                        ++distinct;
                    }
                }
        }
    return windows > 0 ? static_cast<double>(distinct) / windows : 0.0;
}
