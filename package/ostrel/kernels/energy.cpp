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

// A frame's pairwise sum from the sums of its blocks, as pairwise adds them.
double tree_sum(const double* block_sums, std::ptrdiff_t n, std::ptrdiff_t block_length)
{
    if (n <= block) {
        return block_sums[0];
    }
    const std::ptrdiff_t half = n / 2 - n / 2 % lanes;
    return tree_sum(block_sums, half, block_length) + tree_sum(block_sums + half / block_length, n - half, block_length);
}

} // namespace

double sum_of_squares(const Signal& signal, std::ptrdiff_t begin, std::ptrdiff_t count, std::ptrdiff_t chunk)
{
    return with_element(signal.element, [&](auto type) {
        return frame_sum<decltype(type)>(signal, 0, begin, count, chunk);
    });
}

EnergyPlan::EnergyPlan(const Signal& signal, const Framing& framing, std::ptrdiff_t chunk)
    : signal_(signal), framing_(framing), chunk_(chunk), length_(framing.pad + signal.length), shared_block_(0)
{
    const std::ptrdiff_t block_length = uniform_block(framing.win);
    if (framing.win > block && block_length > 0 && framing.hop % block_length == 0
        && (chunk == 0 || framing.win <= chunk)) {
        shared_block_ = block_length;
        // Room for every block of the signal: forming them never allocates.
        block_sums_.reserve(static_cast<std::size_t>(length_ / block_length));
    }
}

double EnergyPlan::shared_frame_sum(std::ptrdiff_t start)
{
    // The blocks up to the frame's end, formed in order as frames need them.
    const std::ptrdiff_t needed = (start + framing_.win) / shared_block_;
    while (static_cast<std::ptrdiff_t>(block_sums_.size()) < needed) {
        const std::ptrdiff_t begin = static_cast<std::ptrdiff_t>(block_sums_.size()) * shared_block_;
        block_sums_.push_back(with_element(signal_.element, [&](auto type) {
            return frame_sum<decltype(type)>(signal_, framing_.pad, begin, shared_block_, 0);
        }));
    }
    return 0.0 + tree_sum(block_sums_.data() + start / shared_block_, framing_.win, shared_block_);
}

void EnergyPlan::run(std::ptrdiff_t first, std::ptrdiff_t last, double* out)
{
    const double win = static_cast<double>(framing_.win);
    with_element(signal_.element, [&](auto type) {
        using T = decltype(type);
        for (std::ptrdiff_t f = first; f < last; ++f) {
            // Slicing clips the frame at the end of the signal.
            const std::ptrdiff_t start = f * framing_.hop;
            const std::ptrdiff_t count = std::clamp<std::ptrdiff_t>(length_ - start, 0, framing_.win);
            const double total = shared_block_ > 0 && count == framing_.win
                               ? shared_frame_sum(start)
                               : frame_sum<T>(signal_, framing_.pad, start, count, chunk_);
            out[f] = total / win;
        }
    });
}

} // namespace ostrel::kernels
