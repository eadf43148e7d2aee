// How much more memory the process may take, so that a reader can refuse a
// file whose declared size would not fit instead of being killed half way.
#ifndef DISPSMOOTH_COMMON_MEMORY_BUDGET_H
#define DISPSMOOTH_COMMON_MEMORY_BUDGET_H

#include <cstdint>

namespace dispsmooth {

struct codec_failure;

// The least of: the address-space limit (RLIMIT_AS) less what the process
// has mapped; the memory cgroup's limit less its usage (cgroup v2's
// memory.max and memory.current, or v1's memory.limit_in_bytes and
// memory.usage_in_bytes); and the system's available memory with free swap.
// UINT64_MAX where none of them can be read.
std::uint64_t available_memory();

// True when about bytes more can be allocated for a width x height image of
// filename.  Otherwise records a failure of the request:
//   dispsmooth: cannot read "<file>": needs about N GB for W x H pixels, M GB available
bool try_reserve_image_memory(const char *filename, std::uint64_t bytes, long long width,
                              long long height, codec_failure *failure);

}  // namespace dispsmooth

#endif
