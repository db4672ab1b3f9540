#include "crossings.hpp"

#include <algorithm>

namespace ostrel::kernels {
namespace {

// Crossings among the pairs (i, i + 1), begin <= i < end, of the signal itself.
template <class T, class P>
std::ptrdiff_t count_pairs(const Signal& signal, std::ptrdiff_t begin, std::ptrdiff_t end)
{
    std::ptrdiff_t crossings = 0;
    if (signal.stride == static_cast<std::ptrdiff_t>(sizeof(T))) {
        const char* data = signal.data;
        for (std::ptrdiff_t i = begin; i < end; ++i) {
            const P left = static_cast<P>(load<T>(data + i * static_cast<std::ptrdiff_t>(sizeof(T))));
            const P right = static_cast<P>(load<T>(data + (i + 1) * static_cast<std::ptrdiff_t>(sizeof(T))));
            crossings += left * right < P(0);
        }
        return crossings;
    }
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        const P left = static_cast<P>(load<T>(signal.data + i * signal.stride));
        const P right = static_cast<P>(load<T>(signal.data + (i + 1) * signal.stride));
        crossings += left * right < P(0);
    }
    return crossings;
}

template <class T, class P>
std::ptrdiff_t count_padded(const Signal& signal, std::ptrdiff_t pad, std::ptrdiff_t first, std::ptrdiff_t last)
{
    std::ptrdiff_t crossings = 0;
    // Pairs of two padding zeros give 0 and raise nothing; the pair of the
    // last zero and the first sample is formed, as it may raise a flag.
    if (first <= pad - 1 && pad - 1 < last) {
        const P zero = P(0);
        crossings += zero * static_cast<P>(load<T>(signal.data)) < P(0);
    }
    const std::ptrdiff_t begin = std::max(first, pad) - pad;
    const std::ptrdiff_t end = last - pad;
    if (begin < end) {
        crossings += count_pairs<T, P>(signal, begin, end);
    }
    return crossings;
}

} // namespace

std::ptrdiff_t count_crossings(const Signal& signal, Product product, std::ptrdiff_t pad, std::ptrdiff_t first,
                               std::ptrdiff_t last)
{
    return with_element(signal.element, [&](auto type) {
        using T = decltype(type);
        if (product == Product::float32) {
            return count_padded<T, float>(signal, pad, first, last);
        }
        return count_padded<T, double>(signal, pad, first, last);
    });
}

CrossingRates::CrossingRates(const Signal& signal, const Framing& framing, Product product)
    : signal_(signal), framing_(framing), product_(product)
{
}

void CrossingRates::advance(RunningCount& count, std::ptrdiff_t to) const
{
    if (to > count.position) {
        count.crossings += count_crossings(signal_, product_, framing_.pad, count.position, to);
        count.position = to;
    }
}

void CrossingRates::run(std::ptrdiff_t first, std::ptrdiff_t last, double* out)
{
    const std::ptrdiff_t length = framing_.pad + signal_.length;
    const double win = static_cast<double>(framing_.win);
    for (std::ptrdiff_t f = first; f < last; ++f) {
        const std::ptrdiff_t start = f * framing_.hop;
        const std::ptrdiff_t stop = std::min(start + framing_.win, length);
        // A frame of fewer than two samples has no pairs: its count is 0.
        if (stop - start < 2) {
            out[f] = 0.0;
            continue;
        }
        advance(at_end_, stop - 1);
        advance(at_start_, start);
        out[f] = static_cast<double>(at_end_.crossings - at_start_.crossings) / win;
    }
}

} // namespace ostrel::kernels
