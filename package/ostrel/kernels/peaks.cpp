#include "peaks.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace ostrel::kernels {
namespace {

// Calls each(i, counts, value) for every position of [first, last) that has
// two neighbours, in order.
// Comparisons that raise no flag for NaN, as numpy's comparisons raise none.
template <class T>
bool less(T left, T right)
{
    if constexpr (std::is_floating_point_v<T>) {
        return __builtin_isless(left, right);
    } else {
        return left < right;
    }
}

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
            each(i, less(at(i - 1), middle) & less(at(i + 1), middle) & less(floor, middle), middle);
        }
        return;
    }
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        const T middle = at(i);
        each(i, less(at(i - 1), middle) & less(at(i + 1), middle), middle);
    }
}

// Contiguous float64 signals, two positions at a time: vector comparisons
// give lane masks (all bits set where a position counts), with no branch on
// the data.
typedef double Pair __attribute__((vector_size(16)));
typedef long long PairMask __attribute__((vector_size(16)));

// A comparison with NaN is false and, in numpy, raises no flag: NaN lanes are
// cleared from `ordered` (an equality test raises nothing) and replaced by
// zero, so that the ordered comparisons that follow raise nothing either.
inline Pair without_nan(Pair values, PairMask& ordered)
{
    const PairMask is_number = values == values;
    ordered &= is_number;
    return is_number ? values : Pair{};
}

// Lanes where the middle is greater than both neighbours.
inline PairMask rises_and_falls(Pair left, Pair& middle, Pair right)
{
    PairMask counts = ~PairMask{};
    middle = without_nan(middle, counts);
    left = without_nan(left, counts);
    right = without_nan(right, counts);
    return counts & (left < middle) & (right < middle);
}

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
        Pair middle = pair_at(i);
        PairMask counts = rises_and_falls(pair_at(i - 1), middle, pair_at(i + 1));
        if (threshold) {
            counts &= floor < middle;
        }
        each(i, counts[0] != 0, middle[0]);
        each(i + 1, counts[1] != 0, middle[1]);
    }
    each_position<double, sizeof(double)>(signal, i, end, threshold, each);
}

// The largest maximum of a contiguous float64 signal, two lanes at a time.
double largest_maximum_pairwise(const Signal& signal, std::ptrdiff_t first, std::ptrdiff_t last, double largest)
{
    const std::ptrdiff_t begin = std::max<std::ptrdiff_t>(first, 1);
    const std::ptrdiff_t end = std::min(last, signal.length - 1);
    const auto pair_at = [&](std::ptrdiff_t i) {
        Pair values;
        std::memcpy(&values, signal.data + i * static_cast<std::ptrdiff_t>(sizeof(double)), sizeof values);
        return values;
    };
    const Pair nothing = {-__builtin_inf(), -__builtin_inf()};
    Pair lanes = {largest, largest};
    std::ptrdiff_t i = begin;
    for (; end - i >= 2; i += 2) {
        Pair middle = pair_at(i);
        const PairMask counts = rises_and_falls(pair_at(i - 1), middle, pair_at(i + 1));
        const Pair candidate = counts ? middle : nothing;
        lanes = candidate > lanes ? candidate : lanes;
    }
    largest = std::max(lanes[0], lanes[1]);
    each_position<double, sizeof(double)>(signal, i, end, std::nullopt, [&](std::ptrdiff_t, bool counts, double value) {
        largest = counts && value > largest ? value : largest;
    });
    return largest;
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
        if (signal.stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
            largest = largest_maximum_pairwise(signal, first, last, largest);
        } else {
            visit_positions(signal, first, last, threshold, [&largest](std::ptrdiff_t, bool counts, auto value) {
                largest = counts && value > largest ? static_cast<double>(value) : largest;
            });
        }
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
