// Strict local maxima: positions i, 1 <= i <= n - 2, with
// x[i - 1] < x[i] > x[i + 1], compared in the signal's own element type.
// The finder reads the signal in passes over ranges of positions, so that
// the result can be written straight into an array of the right length.
#pragma once

#include "signal.hpp"

#include <optional>

namespace ostrel::kernels {

// A threshold applies to float64 signals only: a maximum counts when it is
// also strictly greater than it.
using Threshold = std::optional<double>;

struct MaximaSummary {
    std::ptrdiff_t count = 0;
    double largest = 0.0;  // float64 signals only; meaningful when count > 0
};

// Counts the maxima among the positions first <= i < last (above the
// threshold, if any) into `summary`, and for a float64 signal, if asked, the
// largest of them.
void summarise_maxima(const Signal& signal, std::ptrdiff_t first, std::ptrdiff_t last, const Threshold& threshold,
                      bool find_largest, MaximaSummary& summary);

// Writes those positions, in order, from `out` on, never at or past `room`;
// returns the end.
std::ptrdiff_t* write_maxima(const Signal& signal, std::ptrdiff_t first, std::ptrdiff_t last,
                             const Threshold& threshold, std::ptrdiff_t* out, std::ptrdiff_t* room);

} // namespace ostrel::kernels
