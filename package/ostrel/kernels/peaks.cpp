#include "peaks.hpp"

#include <algorithm>

namespace ostrel::kernels {
namespace {

template <class T>
void maxima(const Signal& signal, std::ptrdiff_t first, std::ptrdiff_t last, Positions& out)
{
    const std::ptrdiff_t begin = std::max<std::ptrdiff_t>(first, 1);
    const std::ptrdiff_t end = std::min(last, signal.length - 1);
    if (begin >= end) {
        return;
    }
    // At most every other position is a maximum.
    const std::size_t written = out.size();
    out.resize(written + static_cast<std::size_t>((end - begin + 1) / 2));
    std::ptrdiff_t* next = out.data() + written;
    const char* at = signal.data + (begin - 1) * signal.stride;
    T left = load<T>(at);
    T middle = load<T>(at + signal.stride);
    at += 2 * signal.stride;
    for (std::ptrdiff_t i = begin; i < end; ++i, at += signal.stride) {
        const T right = load<T>(at);
        *next = i;
        next += (left < middle) & (middle > right);
        left = middle;
        middle = right;
    }
    out.resize(static_cast<std::size_t>(next - out.data()));
}

double value_at(const Signal& signal, std::ptrdiff_t position)
{
    return load<double>(signal.data + position * signal.stride);
}

} // namespace

void find_maxima(const Signal& signal, std::ptrdiff_t first, std::ptrdiff_t last, Positions& out)
{
    with_element(signal.element, [&](auto type) { maxima<decltype(type)>(signal, first, last, out); });
}

double largest_at(const Signal& signal, const Positions& positions)
{
    // Maxima are never NaN (every comparison with NaN is false), so the plain
    // maximum is numpy's.
    double largest = value_at(signal, positions.front());
    for (const std::ptrdiff_t position : positions) {
        largest = std::max(largest, value_at(signal, position));
    }
    return largest;
}

void keep_above(const Signal& signal, double threshold, Positions& positions)
{
    std::erase_if(positions, [&](std::ptrdiff_t position) { return !(value_at(signal, position) > threshold); });
}

} // namespace ostrel::kernels
