// A choice between two integers made without a branch, for loops over
// pixels whose validity is scattered at random (holes in a disparity map),
// where a branch on it would be mispredicted at every other hole.  Written
// with a mask that the optimiser is not shown the origin of (an empty asm
// statement on GCC and Clang), since it turns a plain conditional
// expression, or even the masks, back into a branch where one side leaves a
// value as it was.
#ifndef DISPSMOOTH_COMMON_BRANCH_FREE_H
#define DISPSMOOTH_COMMON_BRANCH_FREE_H

#include <concepts>
#include <type_traits>

namespace dispsmooth {

// a where take holds, else b.
template <std::integral T>
inline T choose(bool take, T a, T b) {
    using U = std::make_unsigned_t<T>;
    U mask = static_cast<U>(0) - static_cast<U>(take);
#if defined(__GNUC__)
    asm("" : "+r"(mask));
#endif
    return static_cast<T>((static_cast<U>(a) & mask) | (static_cast<U>(b) & ~mask));
}

}  // namespace dispsmooth

#endif
