#include <cstdlib>

#include "png/png_internal.h"

namespace dispsmooth::png_detail {

void free_png_rows(unsigned char **row_pointers, int rows) {
    if (row_pointers == nullptr) return;
    for (int y = 0; y < rows; ++y) std::free(row_pointers[y]);
    std::free(row_pointers);
}

}  // namespace dispsmooth::png_detail
