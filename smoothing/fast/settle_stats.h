// How many pixels the last call of the fast weighted median settled from
// estimated weights, without forming their exact histogram.  Read by the
// benchmarks and the tests; the counts are those of the most recent call in
// the process, whatever thread made it.
#ifndef DISPSMOOTH_SMOOTHING_FAST_SETTLE_STATS_H
#define DISPSMOOTH_SMOOTHING_FAST_SETTLE_STATS_H

namespace dispsmooth {

struct settle_stats {
    long long pixels = 0;      // output pixels computed
    long long settled = 0;     // of those, settled without the exact path
    long long first_pass = 0;  // of those, settled by the first pass alone
};

settle_stats last_settle_stats();

// Records the counts of a finished call (the engine's own use).
void record_settle_stats(settle_stats counts);

}  // namespace dispsmooth

#endif
