// Frame energies: each frame's sum of squares over the window length, summed
// exactly as numpy's float64 reduction sums: blocked pairwise summation over
// chunks of `chunk` elements (0: the whole frame is one chunk).
#pragma once

#include "signal.hpp"

#include <vector>

namespace ostrel::kernels {

// The samples' squares from `begin` on (no padding), as numpy sums them.
double sum_of_squares(const Signal& signal, std::ptrdiff_t begin, std::ptrdiff_t count, std::ptrdiff_t chunk);

// How the frames are summed.  A whole frame longer than a pairwise block is
// a tree of blocks; when all its blocks have one length and the hop is a
// multiple of it, frames share blocks, and each block's sum is formed once.
class EnergyPlan {
public:
    // Throws std::bad_alloc when there is no room for the shared sums.
    EnergyPlan(const Signal& signal, const Framing& framing, std::ptrdiff_t chunk);

    // out[f] for the frames first <= f < last, in order, reading every
    // sample as float64.
    void run(std::ptrdiff_t first, std::ptrdiff_t last, double* out);

private:
    double shared_frame_sum(std::ptrdiff_t start);

    Signal signal_;
    Framing framing_;
    std::ptrdiff_t chunk_;
    std::ptrdiff_t length_;        // of the padded signal
    std::ptrdiff_t shared_block_;  // 0 when frames share no blocks
    std::vector<double> block_sums_;
};

} // namespace ostrel::kernels
