// Neighbour weights of weighted_median_fast, remembered per (S, C) pair.
//
// A weight depends only on the squared spatial distance S = dx^2 + dy^2 and
// the squared colour distance C.  Every weight handed out is the value of
// exactly the expression weighted_histo evaluates,
//     exp(-(C / (sigma_color * sigma_color) + S / (sigma_space * sigma_space)))
// with C and S converted to double, so it is the same double to the last bit;
// the table only saves evaluating it again for a pair met before.
//
// Layout: the distinct S among the offsets |dx|, |dy| <= 63 that the clipped
// window can reach are numbered 0 .. s_count - 1; entry (C << shift) +
// number(S) holds the weight of C at S, with 2^shift >= s_count, for C = 0 ..
// c_count - 1.  The entries of one C lie together, so that neighbours of
// like colour at different distances share cache lines.  Entries are filled
// on first use, so a call pays one exponential per distinct pair it meets,
// and pages where no pair falls stay untouched (and unmapped, when calloc
// maps them fresh).  Larger C, and offsets beyond 63, are evaluated directly.
// The table never exceeds max_bytes (40 MiB), whatever the radius: c_count
// shrinks as the number of distinct S grows (all 195076 possible C of 8-bit
// colours are covered up to radius 4), and it is cut to a quarter of the
// weights per S the call will ask for (at least 256), which keeps the table
// of a small image small.
//
// Threads share the table: an entry is read and written through relaxed
// atomic accesses (plain moves on x86-64), and two threads that fill the same
// entry store the same bits.  An entry stores the weight's bits with the sign
// bit flipped, so that the zero of calloc means "not yet computed": no weight
// has the bits of -0.0 (exp never returns it), and even if one did it would
// merely be recomputed at every use.
#ifndef DISPSMOOTH_SMOOTHING_FAST_WEIGHT_TABLE_H
#define DISPSMOOTH_SMOOTHING_FAST_WEIGHT_TABLE_H

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/buffer.h"

namespace dispsmooth {

class weight_table {
public:
    static constexpr int max_table_offset = 63;
    static constexpr std::size_t max_bytes = std::size_t{40} << 20;
    // Squared distance of two colours of 0..255 per channel: at most 3 * 255^2.
    static constexpr int max_byte_color_distance = 3 * 255 * 255;
    static constexpr std::uint64_t sign_bit = std::uint64_t{1} << 63;

    // reach_x, reach_y: the largest |dx| and |dy| that occur (the radius
    // clipped to the image); work: the number of weights the call will ask
    // for, which bounds the table so that a small image does not pay for
    // entries it cannot reuse.
    weight_table(int reach_x, int reach_y, long long work, double sigma_space, double sigma_color)
        : color_scale_(sigma_color * sigma_color),
          space_scale_(sigma_space * sigma_space),
          table_x_(std::min(reach_x, max_table_offset)),
          table_y_(std::min(reach_y, max_table_offset)),
          // 3 entries of padding let s_numbers be read in groups of four.
          s_number_(static_cast<std::size_t>(2 * table_x_ + 1) * (2 * table_y_ + 1) + 3, 0) {
        const int max_s = table_x_ * table_x_ + table_y_ * table_y_;
        std::vector<int> number_of_s(static_cast<std::size_t>(max_s) + 1, -1);
        int distinct = 0;
        for (int dy = 0; dy <= table_y_; ++dy)
            for (int dx = 0; dx <= table_x_; ++dx)
                if (number_of_s[dx * dx + dy * dy] < 0) number_of_s[dx * dx + dy * dy] = distinct++;
        for (int dy = -table_y_; dy <= table_y_; ++dy)
            for (int dx = -table_x_; dx <= table_x_; ++dx)
                s_number_[static_cast<std::size_t>(dy + table_y_) * (2 * table_x_ + 1) +
                          (dx + table_x_)] = number_of_s[dx * dx + dy * dy];
        while ((1 << shift_) < distinct) ++shift_;
        s_value_.assign(std::size_t{1} << shift_, 0);
        for (int s = 0; s <= max_s; ++s)
            if (number_of_s[s] >= 0) s_value_[number_of_s[s]] = s;

        const std::size_t stride = std::size_t{1} << shift_;
        const std::size_t most = std::min<std::size_t>(max_byte_color_distance + 1,
                                                       max_bytes / sizeof(std::uint64_t) / stride);
        const std::size_t worthwhile = static_cast<std::size_t>(work) / (4 * stride);
        c_count_ = std::clamp<std::size_t>(worthwhile, std::min<std::size_t>(256, most), most);
        index_limit_ = static_cast<std::uint32_t>(c_count_ << shift_);
        // One cell more, at index_limit(), that stays 0 ("not in the
        // table"): an index clamped to the limit still addresses the block,
        // as the prefetches of weighted_median_fast do.
        cells_ = allocate_buffer<std::uint64_t>((c_count_ << shift_) + 1, "weight table");
    }

    // The weight expression of weighted_histo.
    double evaluate(int c, long long s) const {
        const double C = static_cast<double>(c);
        const double S = static_cast<double>(s);
        return std::exp(-(C / color_scale_ + S / space_scale_));
    }

    [[gnu::noinline]] std::uint64_t evaluate_bits(int c, long long dx, long long dy2) const {
        return std::bit_cast<std::uint64_t>(evaluate(c, dx * dx + dy2));
    }

    int table_x() const { return table_x_; }
    int table_y() const { return table_y_; }
    int shift() const { return shift_; }
    std::size_t c_count() const { return c_count_; }

    // Entries below this index exist; (c << shift()) + number(S) is below it
    // exactly when c < c_count().
    std::uint32_t index_limit() const { return index_limit_; }
    std::uint64_t *cells() const { return cells_.get(); }

    // Numbers of the S of offsets (-table_x() .. table_x(), dy), indexed by
    // dx + table_x(); |dy| <= table_y().  Readable 3 entries beyond the
    // last offset.
    const int *s_numbers(int dy) const {
        return s_number_.data() + static_cast<std::size_t>(dy + table_y_) * (2 * table_x_ + 1);
    }

    // Bits of the weight at entry index < index_limit(), filling the entry on
    // first use; dx and dy2 = dy^2 give its S.
    std::uint64_t at(std::uint32_t index, long long dx, long long dy2) const {
        const std::uint64_t stored =
            std::atomic_ref<std::uint64_t>(cells_[index]).load(std::memory_order_relaxed);
        if (stored == 0) [[unlikely]]
            return fill(index, dx, dy2);
        return stored ^ sign_bit;
    }

    // Bits of the weight of entry index = (c << shift()) + number(S), which
    // may lie beyond index_limit(), filling the entry if it exists: the slow
    // path of a lookup.  Valid for c << shift() within 32 bits.
    [[gnu::noinline]] std::uint64_t resolve(std::uint32_t index) const {
        const std::uint64_t w = compute(index);
        if (index < index_limit_)
            std::atomic_ref<std::uint64_t>(cells_[index])
                .store(w ^ sign_bit, std::memory_order_relaxed);
        return w;
    }

    // Bits of the weight of entry index (as for resolve), evaluated without
    // reading or filling the table.
    std::uint64_t compute(std::uint32_t index) const {
        const int c = static_cast<int>(index >> shift_);
        const long long s = s_value_[index & ((1u << shift_) - 1)];
        return std::bit_cast<std::uint64_t>(evaluate(c, s));
    }

    [[gnu::noinline]] std::uint64_t fill(std::uint32_t index, long long dx, long long dy2) const {
        const std::uint64_t w = evaluate_bits(static_cast<int>(index >> shift_), dx, dy2);
        std::atomic_ref<std::uint64_t>(cells_[index])
            .store(w ^ sign_bit, std::memory_order_relaxed);
        return w;
    }

private:
    double color_scale_, space_scale_;
    int table_x_, table_y_;
    std::vector<int> s_number_;
    std::vector<long long> s_value_;  // S of each number
    int shift_ = 0;
    std::size_t c_count_ = 0;
    std::uint32_t index_limit_ = 0;
    buffer_ptr<std::uint64_t> cells_;
};

}  // namespace dispsmooth

#endif
