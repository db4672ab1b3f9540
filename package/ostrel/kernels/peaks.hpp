// Strict local maxima: positions i, 1 <= i <= n - 2, with
// x[i - 1] < x[i] > x[i + 1], compared in the signal's own element type.
#pragma once

#include "signal.hpp"

#include <vector>

namespace ostrel::kernels {

using Positions = std::vector<std::ptrdiff_t>;

// Appends the maxima among the positions first <= i < last, in order.
void find_maxima(const Signal& signal, std::ptrdiff_t first, std::ptrdiff_t last, Positions& out);

// The largest value at the given positions of a float64 signal (not empty).
double largest_at(const Signal& signal, const Positions& positions);

// Keeps the positions whose float64 value is strictly greater than `threshold`.
void keep_above(const Signal& signal, double threshold, Positions& positions);

} // namespace ostrel::kernels
