#include "crossings.hpp"

#include <algorithm>
#include <type_traits>

namespace ostrel::kernels {
namespace {

// Lanes of the product type in 16 bytes, and the comparison's lane masks.
template <class P>
struct Lanes;
template <>
struct Lanes<double> {
    static constexpr int count = 2;
    typedef double Values __attribute__((vector_size(16)));
    typedef long long Masks __attribute__((vector_size(16)));
};
template <>
struct Lanes<float> {
    static constexpr int count = 4;
    typedef float Values __attribute__((vector_size(16)));
    typedef int Masks __attribute__((vector_size(16)));
};

// Lane counts are flushed often enough that no lane can overflow.
constexpr std::ptrdiff_t flush_every = std::ptrdiff_t{1} << 20;

template <class T, class P>
typename Lanes<P>::Values load_lanes(const char* at)
{
    typename Lanes<P>::Values values;
    if constexpr (std::is_same_v<T, P>) {
        std::memcpy(&values, at, sizeof values);
    } else {
        for (int j = 0; j < Lanes<P>::count; ++j) {
            values[j] = static_cast<P>(load<T>(at + j * static_cast<std::ptrdiff_t>(sizeof(T))));
        }
    }
    return values;
}

// Lanes strictly below zero.  NaN lanes are set to zero first (an equality
// test raises no flag), so that the ordered comparison raises none either,
// as numpy's comparison raises none.
template <class Values>
auto quiet_negative(Values products)
{
    const Values ordered = products == products ? products : Values{};
    return ordered < Values{};
}

template <class T, class P>
bool crosses(const Signal& signal, std::ptrdiff_t i)
{
    const P left = static_cast<P>(load<T>(signal.data + i * signal.stride));
    const P right = static_cast<P>(load<T>(signal.data + (i + 1) * signal.stride));
    return __builtin_isless(left * right, P(0));
}

// Crossings among the pairs (i, i + 1), begin <= i < end, of the signal itself.
template <class T, class P>
std::ptrdiff_t count_pairs(const Signal& signal, std::ptrdiff_t begin, std::ptrdiff_t end)
{
    std::ptrdiff_t crossings = 0;
    std::ptrdiff_t i = begin;
    if (signal.stride == static_cast<std::ptrdiff_t>(sizeof(T))) {
        constexpr int lanes = Lanes<P>::count;
        constexpr auto size = static_cast<std::ptrdiff_t>(sizeof(T));
        while (end - i >= lanes) {
            const std::ptrdiff_t stop = i + std::min(flush_every, (end - i) / lanes * lanes);
            typename Lanes<P>::Masks counts{};
            for (; i < stop; i += lanes) {
                const auto left = load_lanes<T, P>(signal.data + i * size);
                const auto right = load_lanes<T, P>(signal.data + (i + 1) * size);
                counts -= reinterpret_cast<typename Lanes<P>::Masks>(quiet_negative(left * right));
            }
            for (int j = 0; j < lanes; ++j) {
                crossings += counts[j];
            }
        }
    }
    for (; i < end; ++i) {
        crossings += crosses<T, P>(signal, i);
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
        crossings += __builtin_isless(zero * static_cast<P>(load<T>(signal.data)), P(0));
    }
    const std::ptrdiff_t begin = std::max(first, pad) - pad;
    const std::ptrdiff_t end = last - pad;
    if (begin < end) {
        crossings += count_pairs<T, P>(signal, begin, end);
    }
    return crossings;
}

template <class T, class P>
struct FrameSweep {
    const Signal& signal;
    const Framing& framing;
    Sweep& sweep;
    std::ptrdiff_t length;  // of the padded signal

    std::ptrdiff_t start_of(std::ptrdiff_t frame) const { return frame * framing.hop; }
    // Slicing clips the frame at the end of the signal.
    std::ptrdiff_t stop_of(std::ptrdiff_t frame) const { return std::min(start_of(frame) + framing.win, length); }
    // A frame of fewer than two samples has no pairs: its count is 0.
    bool is_short(std::ptrdiff_t frame) const { return stop_of(frame) - start_of(frame) < 2; }

    void advance(std::ptrdiff_t to)
    {
        if (to > sweep.position) {
            sweep.crossings += count_padded<T, P>(signal, framing.pad, sweep.position, to);
            sweep.position = to;
        }
    }

    void run(std::ptrdiff_t first, std::ptrdiff_t last, double* out)
    {
        const double win = static_cast<double>(framing.win);
        for (std::ptrdiff_t f = first; f < last; ++f) {
            if (is_short(f)) {
                out[f] = 0.0;
                continue;
            }
            // The pairs of frame f run from its start up to stop - 1.  Every
            // start at or before that point is counted first, in order.
            const std::ptrdiff_t end = stop_of(f) - 1;
            for (; sweep.next_start < framing.frames && start_of(sweep.next_start) <= end; ++sweep.next_start) {
                if (!is_short(sweep.next_start)) {
                    advance(start_of(sweep.next_start));
                    out[sweep.next_start] = static_cast<double>(sweep.crossings);
                }
            }
            advance(end);
            out[f] = static_cast<double>(sweep.crossings - static_cast<std::ptrdiff_t>(out[f])) / win;
        }
    }
};

// Calls visit(T{}, P{}) with the element and product types.
template <class Visit>
decltype(auto) with_types(const Signal& signal, Product product, Visit&& visit)
{
    return with_element(signal.element, [&](auto type) {
        if (product == Product::float32) {
            return visit(type, float{});
        }
        return visit(type, double{});
    });
}

} // namespace

std::ptrdiff_t count_crossings(const Signal& signal, Product product, std::ptrdiff_t pad, std::ptrdiff_t first,
                               std::ptrdiff_t last)
{
    return with_types(signal, product, [&](auto type, auto product_type) {
        return count_padded<decltype(type), decltype(product_type)>(signal, pad, first, last);
    });
}

void crossing_rates(const Signal& signal, const Framing& framing, Product product, Sweep& sweep,
                    std::ptrdiff_t first, std::ptrdiff_t last, double* out)
{
    with_types(signal, product, [&](auto type, auto product_type) {
        FrameSweep<decltype(type), decltype(product_type)>{signal, framing, sweep, framing.pad + signal.length}
            .run(first, last, out);
    });
}

} // namespace ostrel::kernels

