#include "peaks.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace ostrel::kernels {
namespace {

// Calls each(i, counts, value) for every position of [first, last) that has
// two neighbours, in order.  Plain comparisons keep the loop free of branches
// on the data; a NaN makes them raise the invalid flag, and the caller's
// check then hands the call to numpy.
template <class T, std::ptrdiff_t fixed_stride, class Each>
void each_position(const Signal& signal, std::ptrdiff_t first, std::ptrdiff_t last, const Threshold& threshold,
                   Each&& each)
{
    const std::ptrdiff_t begin = std::max<std::ptrdiff_t>(first, 1);
    const std::ptrdiff_t end = std::min(last, signal.length - 1);
    const std::ptrdiff_t stride = fixed_stride != 0 ? fixed_stride : signal.stride;
    const auto at = [&](std::ptrdiff_t i) { return load<T>(signal.data + i * stride); };
    if (threshold) {
        const T floor = static_cast<T>(*threshold);
        for (std::ptrdiff_t i = begin; i < end; ++i) {
            const T middle = at(i);
            each(i, (at(i - 1) < middle) & (at(i + 1) < middle) & (floor < middle), middle);
        }
        return;
    }
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        const T middle = at(i);
        each(i, (at(i - 1) < middle) & (at(i + 1) < middle), middle);
    }
}

// Contiguous float64 signals, two positions at a time: vector comparisons
// give lane masks (all bits set where a position counts), with no branch on
// the data.
typedef double Pair __attribute__((vector_size(16)));
typedef long long PairMask __attribute__((vector_size(16)));

template <class Each>
void each_position_pairwise(const Signal& signal, std::ptrdiff_t first, std::ptrdiff_t last,
                            const Threshold& threshold, Each&& each)
{
    const std::ptrdiff_t begin = std::max<std::ptrdiff_t>(first, 1);
    const std::ptrdiff_t end = std::min(last, signal.length - 1);
    const auto pair_at = [&](std::ptrdiff_t i) {
        Pair values;
        std::memcpy(&values, signal.data + i * static_cast<std::ptrdiff_t>(sizeof(double)), sizeof values);
        return values;
    };
    const Pair floor = threshold ? Pair{*threshold, *threshold} : Pair{};
    std::ptrdiff_t i = begin;
    for (; end - i >= 2; i += 2) {
        const Pair middle = pair_at(i);
        PairMask counts = (pair_at(i - 1) < middle) & (pair_at(i + 1) < middle);
        if (threshold) {
            counts &= floor < middle;
        }
        each(i, counts[0] != 0, middle[0]);
        each(i + 1, counts[1] != 0, middle[1]);
    }
    each_position<double, sizeof(double)>(signal, i, end, threshold, each);
}

template <class Each>
void visit_positions(const Signal& signal, std::ptrdiff_t first, std::ptrdiff_t last, const Threshold& threshold,
                     Each&& each)
{
    with_element(signal.element, [&](auto type) {
        using T = decltype(type);
        if constexpr (std::is_same_v<T, double>) {
            if (signal.stride == static_cast<std::ptrdiff_t>(sizeof(T))) {
                each_position_pairwise(signal, first, last, threshold, each);
                return;
            }
        }
        if (signal.stride == static_cast<std::ptrdiff_t>(sizeof(T))) {
            each_position<T, sizeof(T)>(signal, first, last, threshold, each);
        } else {
            each_position<T, 0>(signal, first, last, threshold, each);
        }
    });
}

} // namespace

void summarise_maxima(const Signal& signal, std::ptrdiff_t first, std::ptrdiff_t last, const Threshold& threshold,
                      bool find_largest, MaximaSummary& summary)
{
    std::ptrdiff_t count = 0;
    visit_positions(signal, first, last, threshold,
                    [&count](std::ptrdiff_t, bool counts, auto) { count += counts; });
    if (find_largest && signal.element == Element::float64 && count > 0) {
        // Maxima are never NaN (every comparison with NaN is false), so the
        // plain maximum is numpy's.
        double largest = summary.count > 0 ? summary.largest : -__builtin_inf();
        visit_positions(signal, first, last, threshold, [&largest](std::ptrdiff_t, bool counts, auto value) {
            const double candidate = counts ? static_cast<double>(value) : -__builtin_inf();
            largest = candidate > largest ? candidate : largest;
        });
        summary.largest = largest;
    }
    summary.count += count;
}

std::ptrdiff_t* write_maxima(const Signal& signal, std::ptrdiff_t first, std::ptrdiff_t last,
                             const Threshold& threshold, std::ptrdiff_t* out, std::ptrdiff_t* room)
{
    // Every position is written and the cursor moves past maxima only, which
    // needs no branch on the data; once the room is full, writes go to a spare.
    std::ptrdiff_t spare = 0;
    visit_positions(signal, first, last, threshold, [&](std::ptrdiff_t i, bool counts, auto) {
        *(out < room ? out : &spare) = i;
        out += counts;
    });
    return out;
}

} // namespace ostrel::kernels
