#include "energy.hpp"

#include <algorithm>
#include <type_traits>

namespace ostrel::kernels {
namespace {

// numpy's eight partial sums, as one vector of eight lanes of the sum's type.
typedef double Doubles8 __attribute__((vector_size(8 * sizeof(double))));
typedef float Floats8 __attribute__((vector_size(8 * sizeof(float))));
template <class A>
using Lanes = std::conditional_t<std::is_same_v<A, float>, Floats8, Doubles8>;
constexpr std::ptrdiff_t lanes = 8;
constexpr std::ptrdiff_t block = 128;  // numpy's pairwise block size

// Squares of contiguous samples of the sum's own type; index 0 is the
// frame's first sample.
template <class A>
struct ContiguousSquares {
    using Value = A;
    const char* base;
    A operator()(std::ptrdiff_t i) const
    {
        const A value = load<A>(base + i * static_cast<std::ptrdiff_t>(sizeof(A)));
        return value * value;
    }
    Lanes<A> eight(std::ptrdiff_t i) const
    {
        Lanes<A> values;
        std::memcpy(&values, base + i * static_cast<std::ptrdiff_t>(sizeof(A)), sizeof values);
        return values * values;
    }
};

// Squares of samples of any element type at any stride, converted to the
// sum's type first; indices below `pad` are the virtual zeros in front of
// the signal.
template <class T, class A, bool padded>
struct Squares {
    using Value = A;
    const char* data;
    std::ptrdiff_t stride;
    std::ptrdiff_t first;  // padded index of the frame's first sample
    std::ptrdiff_t pad;
    A operator()(std::ptrdiff_t i) const
    {
        const std::ptrdiff_t at = first + i - pad;
        if (padded && at < 0) {
            return A{0};
        }
        const A value = static_cast<A>(load<T>(data + at * stride));
        return value * value;
    }
    Lanes<A> eight(std::ptrdiff_t i) const
    {
        Lanes<A> values;
        for (int j = 0; j < lanes; ++j) {
            values[j] = (*this)(i + j);
        }
        return values;
    }
};

// numpy's pairwise summation up to a block: sequential below 8 elements,
// eight interleaved partial sums from 8 on.
template <class Read>
[[gnu::always_inline]] inline typename Read::Value block_sum(const Read& square, std::ptrdiff_t begin, std::ptrdiff_t n)
{
    using A = typename Read::Value;
    if (n < lanes) {
        A total = -0.0;
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            total += square(begin + i);
        }
        return total;
    }
    Lanes<A> partial = square.eight(begin);
    std::ptrdiff_t i = lanes;
    for (; i < n - n % lanes; i += lanes) {
        partial += square.eight(begin + i);
    }
    A total = ((partial[0] + partial[1]) + (partial[2] + partial[3])) + ((partial[4] + partial[5]) + (partial[6] + partial[7]));
    for (; i < n; ++i) {
        total += square(begin + i);
    }
    return total;
}

// Above a block, the halves (cut at a multiple of 8) are summed separately.
template <class Read>
typename Read::Value pairwise(const Read& square, std::ptrdiff_t begin, std::ptrdiff_t n)
{
    if (n <= block) {
        return block_sum(square, begin, n);
    }
    std::ptrdiff_t half = n / 2;
    half -= half % lanes;
    return pairwise(square, begin, half) + pairwise(square, begin + half, n - half);
}

// The reduction: the identity 0 plus the pairwise sum of each chunk in turn.
template <class Read>
typename Read::Value chunked_sum(const Read& square, std::ptrdiff_t count, std::ptrdiff_t chunk)
{
    using A = typename Read::Value;
    const std::ptrdiff_t step = chunk > 0 ? chunk : std::max<std::ptrdiff_t>(count, 1);
    A total = 0.0;
    for (std::ptrdiff_t begin = 0; begin < count; begin += step) {
        const std::ptrdiff_t n = std::min(step, count - begin);
        total += n <= block ? block_sum(square, begin, n) : pairwise(square, begin, n);
    }
    return total;
}

// The frame's sum in type A with the cheapest reader that covers it.
template <class T, class A>
A frame_sum(const Signal& signal, std::ptrdiff_t pad, std::ptrdiff_t first, std::ptrdiff_t count, std::ptrdiff_t chunk)
{
    if (first < pad) {
        return chunked_sum(Squares<T, A, true>{signal.data, signal.stride, first, pad}, count, chunk);
    }
    const char* base = signal.data + (first - pad) * signal.stride;
    if constexpr (std::is_same_v<T, A>) {
        if (signal.stride == static_cast<std::ptrdiff_t>(sizeof(A))) {
            return chunked_sum(ContiguousSquares<A>{base}, count, chunk);
        }
    }
    return chunked_sum(Squares<T, A, false>{base, signal.stride, 0, 0}, count, chunk);
}

// The length of every block of a frame's pairwise tree when they are all
// alike, else 0.
std::ptrdiff_t uniform_block(std::ptrdiff_t n)
{
    if (n <= block) {
        return n;
    }
    const std::ptrdiff_t half = n / 2 - n / 2 % lanes;
    const std::ptrdiff_t left = uniform_block(half);
    return left == uniform_block(n - half) ? left : 0;
}

// A frame's pairwise sum from the sums of its blocks (each exact in
// float64), as pairwise adds them in type A.
template <class A>
A tree_sum(const double* block_sums, std::ptrdiff_t n, std::ptrdiff_t block_length)
{
    if (n <= block) {
        return static_cast<A>(block_sums[0]);
    }
    const std::ptrdiff_t half = n / 2 - n / 2 % lanes;
    return tree_sum<A>(block_sums, half, block_length) + tree_sum<A>(block_sums + half / block_length, n - half, block_length);
}

} // namespace

double sum_of_squares(const Signal& signal, std::ptrdiff_t begin, std::ptrdiff_t count, std::ptrdiff_t chunk)
{
    return with_element(signal.element, [&](auto type) {
        return frame_sum<decltype(type), double>(signal, 0, begin, count, chunk);
    });
}

EnergyPlan::EnergyPlan(const Signal& signal, const Framing& framing, std::ptrdiff_t chunk, bool in_float32,
                       Quotient quotient)
    : signal_(signal),
      framing_(framing),
      chunk_(chunk),
      in_float32_(in_float32),
      quotient_(quotient),
      length_(framing.pad + signal.length),
      shared_block_(0)
{
    const std::ptrdiff_t block_length = uniform_block(framing.win);
    if (framing.win > block && block_length > 0 && framing.hop % block_length == 0
        && (chunk == 0 || framing.win <= chunk)) {
        shared_block_ = block_length;
        // Room for every block of the signal: forming them never allocates.
        block_sums_.reserve(static_cast<std::size_t>(length_ / block_length));
    }
}

std::ptrdiff_t EnergyPlan::frame_length(std::ptrdiff_t f) const
{
    // Slicing clips the frame at the end of the signal.
    return std::clamp<std::ptrdiff_t>(length_ - f * framing_.hop, 0, framing_.win);
}

template <class A>
A EnergyPlan::shared_frame_sum(std::ptrdiff_t start)
{
    // The blocks up to the frame's end, formed in order as frames need them.
    const std::ptrdiff_t needed = (start + framing_.win) / shared_block_;
    while (static_cast<std::ptrdiff_t>(block_sums_.size()) < needed) {
        const std::ptrdiff_t begin = static_cast<std::ptrdiff_t>(block_sums_.size()) * shared_block_;
        block_sums_.push_back(with_element(signal_.element, [&](auto type) -> double {
            return frame_sum<decltype(type), A>(signal_, framing_.pad, begin, shared_block_, 0);
        }));
    }
    return A{0} + tree_sum<A>(block_sums_.data() + start / shared_block_, framing_.win, shared_block_);
}

template <class T, class A>
void EnergyPlan::run_as(std::ptrdiff_t first, std::ptrdiff_t last, double* out)
{
    const double win = static_cast<double>(framing_.win);
    const float win_float32 = static_cast<float>(framing_.win);
    for (std::ptrdiff_t f = first; f < last; ++f) {
        const std::ptrdiff_t start = f * framing_.hop;
        const std::ptrdiff_t count = frame_length(f);
        const A total = shared_block_ > 0 && count == framing_.win
                      ? shared_frame_sum<A>(start)
                      : frame_sum<T, A>(signal_, framing_.pad, start, count, chunk_);
        if constexpr (std::is_same_v<A, float>) {
            out[f] = quotient_ == Quotient::float32 ? static_cast<double>(total / win_float32)
                                                    : static_cast<double>(total) / win;
        } else {
            out[f] = total / win;
        }
    }
}

void EnergyPlan::run(std::ptrdiff_t first, std::ptrdiff_t last, double* out)
{
    if (in_float32_) {
        run_as<float, float>(first, last, out);
        return;
    }
    with_element(signal_.element, [&](auto type) { run_as<decltype(type), double>(first, last, out); });
}

std::ptrdiff_t EnergyPlan::frame_squares(std::ptrdiff_t f, char* out) const
{
    const std::ptrdiff_t start = f * framing_.hop;
    const std::ptrdiff_t count = frame_length(f);
    with_element(signal_.element, [&](auto type) {
        using T = decltype(type);
        const auto write = [&](auto square) {
            for (std::ptrdiff_t i = 0; i < count; ++i) {
                const auto value = square(i);
                std::memcpy(out + i * static_cast<std::ptrdiff_t>(sizeof value), &value, sizeof value);
            }
        };
        if (in_float32_) {
            write(Squares<T, float, true>{signal_.data, signal_.stride, start, framing_.pad});
        } else {
            write(Squares<T, double, true>{signal_.data, signal_.stride, start, framing_.pad});
        }
    });
    return count;
}

} // namespace ostrel::kernels
