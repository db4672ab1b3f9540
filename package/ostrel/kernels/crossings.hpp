// Zero crossings: neighbouring samples whose product, formed in the product
// type, is strictly negative.  Products are formed in float32 for a float32
// signal read as it is, and in float64 otherwise.
#pragma once

#include "signal.hpp"

namespace ostrel::kernels {

enum class Product : unsigned char { float32, float64 };

// Crossings among the pairs (j, j + 1) for first <= j < last of the signal
// with `pad` virtual zeros in front of it.
std::ptrdiff_t count_crossings(const Signal& signal, Product product, std::ptrdiff_t pad, std::ptrdiff_t first,
                               std::ptrdiff_t last);

// Frame-wise crossing rates, frame after frame.  Counts are exact, so each
// frame's count is the difference of two running counts: one at the frame's
// end, one at its start.
class CrossingRates {
public:
    CrossingRates(const Signal& signal, const Framing& framing, Product product);
    // out[f] for the frames first <= f < last; frames are taken in order.
    void run(std::ptrdiff_t first, std::ptrdiff_t last, double* out);

private:
    struct RunningCount {
        std::ptrdiff_t position = 0;  // crossings counted among the pairs below it
        std::ptrdiff_t crossings = 0;
    };
    void advance(RunningCount& count, std::ptrdiff_t to) const;

    Signal signal_;
    Framing framing_;
    Product product_;
    RunningCount at_end_;
    RunningCount at_start_;
};

} // namespace ostrel::kernels
