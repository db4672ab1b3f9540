#include "energy.hpp"

#include <algorithm>
#include <type_traits>

namespace ostrel::kernels {
namespace {

// numpy's eight partial sums, as two vectors of four.
typedef double Quad __attribute__((vector_size(4 * sizeof(double))));
struct Lanes {
    Quad low, high;
};
constexpr std::ptrdiff_t lanes = 8;
constexpr std::ptrdiff_t block = 128;  // numpy's pairwise block size

// Squares of contiguous float64 samples; index 0 is the frame's first sample.
struct ContiguousSquares {
    const char* base;
    double operator()(std::ptrdiff_t i) const
    {
        const double value = load<double>(base + i * static_cast<std::ptrdiff_t>(sizeof(double)));
        return value * value;
    }
    Lanes eight(std::ptrdiff_t i) const
    {
        Lanes values;
        const char* at = base + i * static_cast<std::ptrdiff_t>(sizeof(double));
        std::memcpy(&values.low, at, sizeof values.low);
        std::memcpy(&values.high, at + sizeof values.low, sizeof values.high);
        return Lanes{values.low * values.low, values.high * values.high};
    }
};

// Squares of samples of any element type at any stride, converted to float64
// first; indices below `pad` are the virtual zeros in front of the signal.
template <class T, bool padded>
struct Squares {
    const char* data;
    std::ptrdiff_t stride;
    std::ptrdiff_t first;  // padded index of the frame's first sample
    std::ptrdiff_t pad;
    double operator()(std::ptrdiff_t i) const
    {
        const std::ptrdiff_t at = first + i - pad;
        if (padded && at < 0) {
            return 0.0;
        }
        const double value = static_cast<double>(load<T>(data + at * stride));
        return value * value;
    }
    Lanes eight(std::ptrdiff_t i) const
    {
        Lanes values;
        for (int j = 0; j < 4; ++j) {
            values.low[j] = (*this)(i + j);
            values.high[j] = (*this)(i + 4 + j);
        }
        return values;
    }
};

// numpy's pairwise summation up to a block: sequential below 8 elements,
// eight interleaved partial sums from 8 on.
template <class Read>
[[gnu::always_inline]] inline double block_sum(const Read& square, std::ptrdiff_t begin, std::ptrdiff_t n)
{
    if (n < lanes) {
        double total = -0.0;
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            total += square(begin + i);
        }
        return total;
    }
    Lanes partial = square.eight(begin);
    std::ptrdiff_t i = lanes;
    for (; i < n - n % lanes; i += lanes) {
        const Lanes next = square.eight(begin + i);
        partial.low += next.low;
        partial.high += next.high;
    }
    double total = ((partial.low[0] + partial.low[1]) + (partial.low[2] + partial.low[3]))
                 + ((partial.high[0] + partial.high[1]) + (partial.high[2] + partial.high[3]));
    for (; i < n; ++i) {
        total += square(begin + i);
    }
    return total;
}

// Above a block, the halves (cut at a multiple of 8) are summed separately.
template <class Read>
double pairwise(const Read& square, std::ptrdiff_t begin, std::ptrdiff_t n)
{
    if (n <= block) {
        return block_sum(square, begin, n);
    }
    std::ptrdiff_t half = n / 2;
    half -= half % lanes;
    return pairwise(square, begin, half) + pairwise(square, begin + half, n - half);
}

// The reduction: the identity 0.0 plus the pairwise sum of each chunk in turn.
template <class Read>
double chunked_sum(const Read& square, std::ptrdiff_t count, std::ptrdiff_t chunk)
{
    const std::ptrdiff_t step = chunk > 0 ? chunk : std::max<std::ptrdiff_t>(count, 1);
    double total = 0.0;
    for (std::ptrdiff_t begin = 0; begin < count; begin += step) {
        const std::ptrdiff_t n = std::min(step, count - begin);
        total += n <= block ? block_sum(square, begin, n) : pairwise(square, begin, n);
    }
    return total;
}

// The frame's sum with the cheapest reader that covers it.
template <class T>
double frame_sum(const Signal& signal, std::ptrdiff_t pad, std::ptrdiff_t first, std::ptrdiff_t count,
                 std::ptrdiff_t chunk)
{
    if (first < pad) {
        return chunked_sum(Squares<T, true>{signal.data, signal.stride, first, pad}, count, chunk);
    }
    const char* base = signal.data + (first - pad) * signal.stride;
    if constexpr (std::is_same_v<T, double>) {
        if (signal.stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
            return chunked_sum(ContiguousSquares{base}, count, chunk);
        }
    }
    return chunked_sum(Squares<T, false>{base, signal.stride, 0, 0}, count, chunk);
}

} // namespace

double sum_of_squares(const Signal& signal, std::ptrdiff_t begin, std::ptrdiff_t count, std::ptrdiff_t chunk)
{
    return with_element(signal.element, [&](auto type) {
        return frame_sum<decltype(type)>(signal, 0, begin, count, chunk);
    });
}

void frame_energies(const Signal& signal, const Framing& framing, std::ptrdiff_t chunk, std::ptrdiff_t first,
                    std::ptrdiff_t last, double* out)
{
    const std::ptrdiff_t length = framing.pad + signal.length;
    const double win = static_cast<double>(framing.win);
    with_element(signal.element, [&](auto type) {
        using T = decltype(type);
        for (std::ptrdiff_t f = first; f < last; ++f) {
            // Slicing clips the frame at the end of the signal.
            const std::ptrdiff_t start = f * framing.hop;
            const std::ptrdiff_t count = std::clamp<std::ptrdiff_t>(length - start, 0, framing.win);
            out[f] = frame_sum<T>(signal, framing.pad, start, count, chunk) / win;
        }
    });
}

} // namespace ostrel::kernels
