// The offsets of an output row's windows ring by ring, as a lane that
// finishes its window alone takes them (ring_tail, estimate_lanes.h).
#ifndef DISPSMOOTH_SMOOTHING_FAST_RING_TAIL_TABLE_H
#define DISPSMOOTH_SMOOTHING_FAST_RING_TAIL_TABLE_H

#include <cstddef>
#include <cstdint>

#include "common/buffer.h"
#include "smoothing/fast/estimate_lanes.h"

namespace dispsmooth {

class ring_tail_table {
public:
    // For windows of half extents reach_x, reach_y at most.
    ring_tail_table(int reach_x, int reach_y);

    // The table of the windows of row i, whose rows y_lo .. y_hi have their
    // packed guide colours at rows[y - y_lo], in a row of width pixels;
    // space_exponent as lane_constants holds it, most_lanes as ring_tail's.
    // Null where the rows' offsets from the first do not fit the gathers'
    // int (rows of 4 bytes a pixel, from one buffer).
    const ring_tail *fill(const std::uint8_t *const *rows, int y_lo, int y_hi, int i, int width,
                          int reach_x, int reach_y, const float *space_exponent, int most_lanes);

private:
    std::size_t entries_;
    buffer_ptr<int> colour_, disp_, slot_, ring_start_, summed_before_;
    buffer_ptr<float> space_, estimates_, second_estimates_;
    buffer_ptr<std::uint8_t> run_;
    ring_tail tail_{};
};

}  // namespace dispsmooth

#endif
