// Zero crossings: neighbouring samples whose product, formed in the product
// type, is strictly negative.  Products are formed in float32 for a float32
// signal read as it is, and in float64 otherwise.
#pragma once

#include "kernels/shared/signal.hpp"

namespace ostrel::kernels {

enum class Product : unsigned char { float32, float64 };

// Crossings among the pairs (j, j + 1) for first <= j < last of the signal
// with `pad` virtual zeros in front of it.
std::ptrdiff_t count_crossings(const Signal& signal, Product product, std::ptrdiff_t pad, std::ptrdiff_t first,
                               std::ptrdiff_t last);

// Where a sweep over the padded signal stands: the crossings among the pairs
// below `position`, and the next frame whose starting count is due.
struct Sweep {
    std::ptrdiff_t position = 0;
    std::ptrdiff_t crossings = 0;
    std::ptrdiff_t next_start = 0;
};

// Frame-wise crossing rates, out[f] for first <= f < last, frames taken in
// order.  Counts are exact, so a frame's count is the difference of the
// running count at its end and at its start; one sweep gives both.  Later
// elements of `out` hold running counts until their frame is reached.
void crossing_rates(const Signal& signal, const Framing& framing, Product product, Sweep& sweep,
                    std::ptrdiff_t first, std::ptrdiff_t last, double* out);

} // namespace ostrel::kernels
