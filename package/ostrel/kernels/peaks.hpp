// Strict local maxima: positions i, 1 <= i <= n - 2, with
// x[i - 1] < x[i] > x[i + 1], compared in the signal's own element type.
#pragma once

#include "signal.hpp"

#include <cstdint>
#include <memory>

namespace ostrel::kernels {

// One bit per position of a signal, set where the position is a maximum; the
// bits are kept in words of 64 positions.
class MaximaMap {
public:
    static constexpr std::ptrdiff_t word_bits = 64;

    // Throws std::bad_alloc when there is no room for the map.
    explicit MaximaMap(const Signal& signal);
    std::ptrdiff_t words() const { return words_; }

    // Judges the positions of the words first <= w < last.
    void judge(std::ptrdiff_t first, std::ptrdiff_t last);

    // Of the maxima in those words: how many are strictly greater than
    // `floor` (all of them when it is absent), and, for a float64 signal,
    // the largest.
    std::ptrdiff_t count_above(std::ptrdiff_t first, std::ptrdiff_t last, const double* floor) const;
    double largest(std::ptrdiff_t first, std::ptrdiff_t last, double so_far) const;

    // Writes those positions, in order, from `out` on; returns the end.
    std::ptrdiff_t* write_above(std::ptrdiff_t first, std::ptrdiff_t last, const double* floor,
                                std::ptrdiff_t* out) const;

private:
    double value_at(std::ptrdiff_t position) const;

    Signal signal_;
    std::ptrdiff_t words_;
    std::unique_ptr<std::uint64_t[]> bits_;
};

} // namespace ostrel::kernels
