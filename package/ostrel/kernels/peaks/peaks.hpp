// Strict local maxima: positions i, 1 <= i <= n - 2, with
// x[i - 1] < x[i] > x[i + 1], compared in the signal's own element type.
#pragma once

#include "kernels/shared/signal.hpp"

#include <cstdint>
#include <limits>
#include <memory>

namespace ostrel::kernels {

// One bit per position of a signal, set where the position is a maximum; the
// bits are kept in words of 64 positions.
class MaximaMap {
public:
    static constexpr std::ptrdiff_t word_bits = 64;

    // Throws std::bad_alloc when there is no room for the map.
    // `wants_largest`: whether largest() is asked for (a threshold is).
    MaximaMap(const Signal& signal, bool wants_largest);
    std::ptrdiff_t words() const { return words_; }
    const Signal& signal() const { return signal_; }

    // Judges the positions of the words first <= w < last.
    void judge(std::ptrdiff_t first, std::ptrdiff_t last);

    // The maxima in those words; for a float64 signal the largest of them,
    // and dropping those not strictly greater than a threshold.  Later passes
    // read the bits only: the samples may change meanwhile (another thread,
    // a signal handler), and the map must stay what was counted.
    std::ptrdiff_t count(std::ptrdiff_t first, std::ptrdiff_t last) const;
    // The largest maximum judged so far (float64 and float32 signals only),
    // when the map was made wanting it.
    double largest() const { return largest_; }
    void keep_above(std::ptrdiff_t first, std::ptrdiff_t last, double floor);

    // The samples at the maxima of the whole map, in order, into `out` (room
    // for count(0, words()) samples of the signal's type), and the place in
    // that order of the first largest of them.
    std::ptrdiff_t gather(char* out) const;
    // Keeps the k-th maximum of the map where keep[k * stride] is nonzero.
    void keep_where(const char* keep, std::ptrdiff_t stride);

    // Writes the positions in those words, in order, from `out` on, never
    // at or past `room`; returns the end.
    std::ptrdiff_t* write(std::ptrdiff_t first, std::ptrdiff_t last, std::ptrdiff_t* out,
                          std::ptrdiff_t* room) const;

private:
    double value_at(std::ptrdiff_t position) const;

    Signal signal_;
    bool wants_largest_;
    std::ptrdiff_t words_;
    std::unique_ptr<std::uint64_t[]> bits_;
    // The largest maximum of each word, when the largest is wanted: a
    // threshold passes over the words it rules out.
    std::unique_ptr<double[]> word_tops_;
    double largest_ = -std::numeric_limits<double>::infinity();
};

} // namespace ostrel::kernels
