// Frame energies: each frame's sum of squares over the window length, summed
// exactly as numpy's reduction sums: blocked pairwise summation over chunks
// of `chunk` elements (0: the whole frame is one chunk), in float64, or in
// float32 for an unpadded float32 signal (numpy squares and sums it in its
// own type).
#pragma once

#include "kernels/shared/signal.hpp"

#include <vector>

namespace ostrel::kernels {

// The samples' squares from `begin` on (no padding), as numpy sums them in float64.
double sum_of_squares(const Signal& signal, std::ptrdiff_t begin, std::ptrdiff_t count, std::ptrdiff_t chunk);

// The type a frame's sum is divided by the window length in: float64, or
// float32 where numpy keeps a float32 sum divided by an int in float32.
enum class Quotient : unsigned char { float64, float32 };

// How the frames are summed.  A whole frame longer than a pairwise block is
// a tree of blocks; when all its blocks have one length and the hop is a
// multiple of it, frames share blocks, and each block's sum is formed once.
class EnergyPlan {
public:
    // Throws std::bad_alloc when there is no room for the shared sums.
    // `in_float32`: the signal is float32 and unpadded.
    EnergyPlan(const Signal& signal, const Framing& framing, std::ptrdiff_t chunk, bool in_float32,
               Quotient quotient);

    // out[f] for the frames first <= f < last, in order.
    void run(std::ptrdiff_t first, std::ptrdiff_t last, double* out);

    // The squares of frame f's samples, as numpy's statements form them
    // (float64, or float32 for an unpadded float32 signal), into `out`;
    // returns their count.
    std::ptrdiff_t frame_squares(std::ptrdiff_t f, char* out) const;
    std::ptrdiff_t frame_length(std::ptrdiff_t f) const;

private:
    template <class A>
    A shared_frame_sum(std::ptrdiff_t start);
    template <class T, class A>
    void run_as(std::ptrdiff_t first, std::ptrdiff_t last, double* out);

    Signal signal_;
    Framing framing_;
    std::ptrdiff_t chunk_;
    bool in_float32_;
    Quotient quotient_;
    std::ptrdiff_t length_;        // of the padded signal
    std::ptrdiff_t shared_block_;  // 0 when frames share no blocks
    std::vector<double> block_sums_;
    // Storage for a tile of squares (of the sum's type); empty unless frames
    // are short and overlap.
    std::vector<double> tile_squares_;
};

} // namespace ostrel::kernels
