// Frame energies: each frame's sum of squares over the window length, summed
// exactly as numpy's float64 reduction sums: blocked pairwise summation over
// chunks of `chunk` elements (0: the whole frame is one chunk).
#pragma once

#include "signal.hpp"

namespace ostrel::kernels {

// The samples' squares from `begin` on (no padding), as numpy sums them.
double sum_of_squares(const Signal& signal, std::ptrdiff_t begin, std::ptrdiff_t count, std::ptrdiff_t chunk);

// out[f] for the frames first <= f < last, reading every sample as float64.
void frame_energies(const Signal& signal, const Framing& framing, std::ptrdiff_t chunk, std::ptrdiff_t first,
                    std::ptrdiff_t last, double* out);

} // namespace ostrel::kernels
