#include "kernels/energy/energy.hpp"

#include "kernels/cpu/cpu_features.hpp"
#include "kernels/cpu/lanes.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <type_traits>

namespace ostrel::kernels {
namespace {

constexpr std::ptrdiff_t lanes = 8;

#ifdef OSTREL_VECTOR_LANES
// numpy's eight partial sums, in vectors of `bytes`: 16 for the baseline
// (wider generic vectors go through the stack there at every operation),
// 32 for AVX2.
template <class A, int bytes>
struct Sums {
    typedef A Vector __attribute__((vector_size(bytes)));
    static constexpr int per_vector = bytes / static_cast<int>(sizeof(A));
    static constexpr int vectors = lanes / per_vector;
    Vector v[vectors];

    [[gnu::always_inline]] static Sums load(const A* at)
    {
        Sums values;
        for (int k = 0; k < vectors; ++k) {
            std::memcpy(&values.v[k], at + k * per_vector, sizeof values.v[k]);
        }
        return values;
    }
    // Eight float32 samples widened to A.
    [[gnu::always_inline]] static Sums widened(const float* at)
    {
        typedef float Narrow __attribute__((vector_size(per_vector * sizeof(float))));
        Sums values;
        for (int k = 0; k < vectors; ++k) {
            if constexpr (per_vector == 2 && std::is_same_v<A, double>) {
                // The generic conversion of two goes a sample at a time.
                values.v[k] = widen_two(at + k * per_vector);
            } else {
                Narrow raw;
                std::memcpy(&raw, at + k * per_vector, sizeof raw);
                values.v[k] = __builtin_convertvector(raw, Vector);
            }
        }
        return values;
    }
    [[gnu::always_inline]] Sums squared() const
    {
        Sums values;
        for (int k = 0; k < vectors; ++k) {
            values.v[k] = v[k] * v[k];
        }
        return values;
    }
    [[gnu::always_inline]] void operator+=(const Sums& other)
    {
        for (int k = 0; k < vectors; ++k) {
            v[k] += other.v[k];
        }
    }
    [[gnu::always_inline]] A lane(int j) const { return v[j / per_vector][j % per_vector]; }
    [[gnu::always_inline]] A total() const
    {
        return ((lane(0) + lane(1)) + (lane(2) + lane(3))) + ((lane(4) + lane(5)) + (lane(6) + lane(7)));
    }
};
template <class A>
using Partials = Sums<A, 16>;
template <class A, int bytes>
using Wide = Sums<A, bytes>;
typedef double Pair __attribute__((vector_size(16)));
typedef double Quad __attribute__((vector_size(32)));
#else
// The same sums in plain arrays, for compilers without vector types.
template <class A>
struct Partials {
    A all[lanes];
    static Partials load(const A* at)
    {
        Partials values;
        std::memcpy(values.all, at, sizeof values.all);
        return values;
    }
    Partials squared() const
    {
        Partials values;
        for (int j = 0; j < lanes; ++j) {
            values.all[j] = all[j] * all[j];
        }
        return values;
    }
    void operator+=(const Partials& other)
    {
        for (int j = 0; j < lanes; ++j) {
            all[j] += other.all[j];
        }
    }
    A total() const { return ((all[0] + all[1]) + (all[2] + all[3])) + ((all[4] + all[5]) + (all[6] + all[7])); }
};
template <class A, int bytes>
using Wide = Partials<A>;
#endif
constexpr std::ptrdiff_t block = 128;  // numpy's pairwise block size

// Squares of contiguous samples, converted to the sum's type first; index 0
// is the frame's first sample.  The partial sums in vectors of `bytes`.
template <class T, class A, int bytes = 16>
struct ContiguousSquares {
    using Value = A;
    const char* base;
    [[gnu::always_inline]] A operator()(std::ptrdiff_t i) const
    {
        const A value = static_cast<A>(load<T>(base + i * static_cast<std::ptrdiff_t>(sizeof(T))));
        return value * value;
    }
    [[gnu::always_inline]] Wide<A, bytes> eight(std::ptrdiff_t i) const
    {
        if constexpr (std::is_same_v<T, A>) {
            return Wide<A, bytes>::load(reinterpret_cast<const A*>(base) + i).squared();
#ifdef OSTREL_VECTOR_LANES
        } else if constexpr (std::is_same_v<T, float> && std::is_same_v<A, double>) {
            return Wide<double, bytes>::widened(reinterpret_cast<const float*>(base) + i).squared();
#endif
        } else {
            T raw[lanes];
            std::memcpy(raw, base + i * static_cast<std::ptrdiff_t>(sizeof(T)), sizeof raw);
            A converted[lanes];
            for (int j = 0; j < lanes; ++j) {
                converted[j] = static_cast<A>(raw[j]);
            }
            return Partials<A>::load(converted).squared();
        }
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
    [[gnu::always_inline]] A operator()(std::ptrdiff_t i) const
    {
        const std::ptrdiff_t at = first + i - pad;
        if (padded && at < 0) {
            return A{0};
        }
        const A value = static_cast<A>(load<T>(data + at * stride));
        return value * value;
    }
    [[gnu::always_inline]] Partials<A> eight(std::ptrdiff_t i) const
    {
        A values[lanes];
        for (int j = 0; j < lanes; ++j) {
            values[j] = (*this)(i + j);
        }
        return Partials<A>::load(values);
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
    auto partial = square.eight(begin);
    std::ptrdiff_t i = lanes;
    for (; i < n - n % lanes; i += lanes) {
        partial += square.eight(begin + i);
    }
    A total = partial.total();
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

#ifdef OSTREL_X86_DISPATCH
// Float32 samples widened to float64 cost a conversion each on top of the
// product and the sum: AVX2 does all three four at a time.  The same partial
// sums, in vectors of four, for a sum of one block (a block of a longer
// frame's tree); longer sums go the baseline's way.
template <class T, class A>
[[gnu::target("avx2")]] A contiguous_sum_avx2(const char* base, std::ptrdiff_t count, std::ptrdiff_t chunk)
{
    if (count > block || (chunk > 0 && count > chunk)) {
        return chunked_sum(ContiguousSquares<T, A>{base}, count, chunk);
    }
    return A{0} + block_sum(ContiguousSquares<T, A, 32>{base}, 0, count);
}
#endif

// The frame's sum in type A with the cheapest reader that covers it.
template <class T, class A>
A frame_sum(const Signal& signal, std::ptrdiff_t pad, std::ptrdiff_t first, std::ptrdiff_t count, std::ptrdiff_t chunk)
{
    if (first < pad) {
        return chunked_sum(Squares<T, A, true>{signal.data, signal.stride, first, pad}, count, chunk);
    }
    const char* base = signal.data + (first - pad) * signal.stride;
    if (signal.stride == static_cast<std::ptrdiff_t>(sizeof(T))) {
#ifdef OSTREL_X86_DISPATCH
        if constexpr (std::is_same_v<T, float> && std::is_same_v<A, double>) {
            if (chosen(Twins::block_sums, enabled(CpuFeature::avx2))) {
                return contiguous_sum_avx2<T, A>(base, count, chunk);
            }
        }
#endif
        return chunked_sum(ContiguousSquares<T, A>{base}, count, chunk);
    }
    return chunked_sum(Squares<T, A, false>{base, signal.stride, 0, 0}, count, chunk);
}

// Squares formed beforehand, once per sample, for frames that overlap.
template <class A>
struct StoredSquares {
    using Value = A;
    const A* base;
    [[gnu::always_inline]] A operator()(std::ptrdiff_t i) const { return base[i]; }
    [[gnu::always_inline]] Partials<A> eight(std::ptrdiff_t i) const { return Partials<A>::load(base + i); }
};

// Whole frames of at most one pairwise block with a hop of at most the
// window, a tile at a time: each sample of the tile is squared once into
// `squares`, and every frame of the tile sums its own run of them in
// numpy's order.  Every squared sample lies in some frame.
struct ShortFrames {
    const Signal& signal;
    const Framing& framing;
    std::ptrdiff_t first, last;
    double* out;
    void* squares;  // room for tile_samples + win values of the sum's type
};
// Small enough that a tile's squares stay in the first-level cache while
// its frames read each of them several times.
constexpr std::ptrdiff_t tile_samples = 1024;
constexpr std::size_t line_bytes = 64;

// The eight partial sums of block_sum for `interleaved` frames of n >= 8
// stored squares `hop` apart, the frames' additions interleaved so that
// their latencies overlap; each frame's own additions keep numpy's order.
constexpr int interleaved = 4;

// `aligned`: every frame starts on sixteen bytes, so that the baseline's
// additions take their operands from memory; loaded into registers first,
// four frames' sixteen float64 sums and the loaded operand no longer fit its
// sixteen registers, and two sums went through the stack at every step.
template <bool aligned, class S, class A>
[[gnu::always_inline]] inline void interleaved_partials(const A* squares, std::ptrdiff_t hop, std::ptrdiff_t n,
                                                        S (&partial)[interleaved])
{
    const A* frames[interleaved];
    for (int k = 0; k < interleaved; ++k) {
        frames[k] = squares + k * hop;
#if defined(__GNUC__) || defined(__clang__)
        if constexpr (aligned) {
            frames[k] = static_cast<const A*>(__builtin_assume_aligned(frames[k], 16));
        }
#endif
        partial[k] = S::load(frames[k]);
    }
    for (std::ptrdiff_t i = lanes; i < n - n % lanes; i += lanes) {
        for (int k = 0; k < interleaved; ++k) {
            partial[k] += S::load(frames[k] + i);
        }
    }
}

// Whether frames `hop` apart from `frames` on all start on sixteen bytes.
template <class A>
bool sixteen_aligned(const A* frames, std::ptrdiff_t hop)
{
    return reinterpret_cast<std::uintptr_t>(frames) % 16 == 0 && hop * static_cast<std::ptrdiff_t>(sizeof(A)) % 16 == 0;
}

#ifdef OSTREL_VECTOR_LANES
#ifdef OSTREL_X86_DISPATCH
// Partials<double>::total() of four frames at once, lane k for frame k: the
// same additions with the same operands first, done a vector at a time
// rather than one lane at a time (32-byte sums: the AVX2 twin only).
[[gnu::always_inline]] inline Quad four_totals(const Sums<double, 32> (&partial)[interleaved])
{
    static_assert(interleaved == 4, "one vector holds the totals of four frames");
    // [a0 + a1, b0 + b1, a2 + a3, b2 + b3]
    const auto pairs = [](Quad a, Quad b) {
        return __builtin_shufflevector(a, b, 0, 4, 2, 6) + __builtin_shufflevector(a, b, 1, 5, 3, 7);
    };
    // Lane k: (v0 + v1) + (v2 + v3) of the k-th argument.
    const auto halves = [&](Quad v0, Quad v1, Quad v2, Quad v3) {
        const Quad front = pairs(v0, v1);
        const Quad back = pairs(v2, v3);
        return __builtin_shufflevector(front, back, 0, 1, 4, 5) + __builtin_shufflevector(front, back, 2, 3, 6, 7);
    };
    return halves(partial[0].v[0], partial[1].v[0], partial[2].v[0], partial[3].v[0])
         + halves(partial[0].v[1], partial[1].v[1], partial[2].v[1], partial[3].v[1]);
}
#endif

// The same with vectors of two: frames 0 and 1, then frames 2 and 3.
[[gnu::always_inline]] inline void four_totals(const Sums<double, 16> (&partial)[interleaved], Pair& front, Pair& back)
{
    // Lane k: (v0 + v1) + (v2 + v3) of the k-th frame, each vk = (e, e') summed e + e'.
    const auto two = [](const Sums<double, 16>& a, const Sums<double, 16>& b) {
        const auto sums = [&](int k) {
            return __builtin_shufflevector(a.v[k], b.v[k], 0, 2) + __builtin_shufflevector(a.v[k], b.v[k], 1, 3);
        };
        return (sums(0) + sums(1)) + (sums(2) + sums(3));
    };
    front = two(partial[0], partial[1]);
    back = two(partial[2], partial[3]);
}
#endif

[[gnu::always_inline]] inline void fetch_ahead(const char* line)
{
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(line);
#else
    static_cast<void>(line);
#endif
}

template <int bytes, class T, class A, class Divide>
[[gnu::always_inline]] inline void sum_short_frames(const ShortFrames& job, Divide divide)
{
    const Framing& framing = job.framing;
    const std::ptrdiff_t tile_frames = std::max<std::ptrdiff_t>(tile_samples / framing.hop, 1);
    A* const squares = static_cast<A*>(job.squares);
    for (std::ptrdiff_t f0 = job.first; f0 < job.last; f0 += tile_frames) {
        const std::ptrdiff_t f1 = std::min(f0 + tile_frames, job.last);
        const std::ptrdiff_t begin = f0 * framing.hop;  // padded indices
        const std::ptrdiff_t end = (f1 - 1) * framing.hop + framing.win;
        const std::ptrdiff_t zeros = std::clamp<std::ptrdiff_t>(framing.pad - begin, 0, end - begin);
        for (std::ptrdiff_t i = 0; i < zeros; ++i) {
            squares[i] = A{0};
        }
        const char* data = job.signal.data + (begin + zeros - framing.pad) * job.signal.stride;
        const std::ptrdiff_t stride = job.signal.stride;
        if (stride == static_cast<std::ptrdiff_t>(sizeof(T))) {
            // The same loop with the stride known, so that it vectorizes;
            // unrolled, as a vector's load, product and store are each a
            // single instruction and the loop's own count would double them.
            std::ptrdiff_t i = zeros;
#ifdef OSTREL_VECTOR_LANES
            if constexpr (bytes == 16 && std::is_same_v<T, float> && std::is_same_v<A, double>) {
                // Pairs widened straight from memory: the compiler's own
                // loop loads four, moves the upper two aside and widens
                // each half, a third more work.
#pragma GCC unroll 8
                for (; end - begin - i >= 2; i += 2) {
                    Pair pair = widen_two(data + (i - zeros) * static_cast<std::ptrdiff_t>(sizeof(float)));
                    pair *= pair;
                    std::memcpy(squares + i, &pair, sizeof pair);
                }
            }
#endif
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC unroll 16
#endif
            for (; i < end - begin; ++i) {
                const A value = static_cast<A>(load<T>(data + (i - zeros) * static_cast<std::ptrdiff_t>(sizeof(T))));
                squares[i] = value * value;
            }
        } else {
            for (std::ptrdiff_t i = zeros; i < end - begin; ++i) {
                const A value = static_cast<A>(load<T>(data + (i - zeros) * stride));
                squares[i] = value * value;
            }
        }
        // While the frames are summed, the next tile's samples are fetched
        // from memory, a few cache lines per group of frames.
        const char* ahead = data + (end - begin - zeros) * stride;
        const char* const ahead_end = stride == static_cast<std::ptrdiff_t>(sizeof(T))
            ? std::min(ahead + tile_samples * stride, job.signal.data + job.signal.length * stride)
            : ahead;
        const std::ptrdiff_t ahead_step = (ahead_end - ahead) / std::max<std::ptrdiff_t>((f1 - f0) / interleaved, 1) + 64;
        std::ptrdiff_t f = f0;
        if (framing.win >= lanes) {
            for (; f1 - f >= interleaved; f += interleaved) {
                for (const char* line = ahead; line < std::min(ahead + ahead_step, ahead_end); line += 64) {
                    fetch_ahead(line);
                }
                ahead = std::min(ahead + ahead_step, ahead_end);
                const A* const frames = squares + (f - f0) * framing.hop;
                const std::ptrdiff_t hop = framing.hop;
                const std::ptrdiff_t n = framing.win;
#ifdef OSTREL_VECTOR_LANES
                Sums<A, bytes> partial[interleaved];
                if (bytes == 16 && sixteen_aligned(frames, hop)) {
                    interleaved_partials<true>(frames, hop, n, partial);
                } else {
                    interleaved_partials<false>(frames, hop, n, partial);
                }
                if constexpr (std::is_same_v<A, double> && bytes == 32) {
                    // The four frames' totals, tails and quotients in one vector.
                    Quad totals = four_totals(partial);
                    for (std::ptrdiff_t j = n - n % lanes; j < n; ++j) {
                        totals += Quad{frames[j], frames[hop + j], frames[2 * hop + j], frames[3 * hop + j]};
                    }
                    const Quad quotients = divide(Quad{} + totals);
                    std::memcpy(job.out + f, &quotients, sizeof quotients);
                    continue;
                } else if constexpr (std::is_same_v<A, double>) {
                    // The same in two vectors of two frames.
                    Pair front, back;
                    four_totals(partial, front, back);
                    for (std::ptrdiff_t j = n - n % lanes; j < n; ++j) {
                        front += Pair{frames[j], frames[hop + j]};
                        back += Pair{frames[2 * hop + j], frames[3 * hop + j]};
                    }
                    const Pair quotients[2] = {divide(Pair{} + front), divide(Pair{} + back)};
                    std::memcpy(job.out + f, quotients, sizeof quotients);
                    continue;
                }
#else
                Partials<A> partial[interleaved];
                interleaved_partials<false>(frames, hop, n, partial);
#endif
                for (int k = 0; k < interleaved; ++k) {
                    A total = partial[k].total();
                    for (std::ptrdiff_t j = n - n % lanes; j < n; ++j) {
                        total += frames[k * hop + j];
                    }
                    job.out[f + k] = divide(A{0} + total);
                }
            }
        }
        for (; f < f1; ++f) {
            const StoredSquares<A> frame{squares + (f - f0) * framing.hop};
            job.out[f] = divide(A{0} + block_sum(frame, 0, framing.win));
        }
    }
}

// The same schedule compiled for the baseline and, where the processor has
// it, for AVX2: no operation changes, only the width of the vector unit.
template <class T, class A, class Divide>
void short_frames_baseline(const ShortFrames& job, Divide divide)
{
    sum_short_frames<16, T, A>(job, divide);
}

#ifdef OSTREL_X86_DISPATCH
template <class T, class A, class Divide>
[[gnu::target("avx2")]] void short_frames_avx2(const ShortFrames& job, Divide divide)
{
    sum_short_frames<32, T, A>(job, divide);
}
#endif

template <class T, class A, class Divide>
void short_frames(const ShortFrames& job, Divide divide)
{
#ifdef OSTREL_X86_DISPATCH
    if (chosen(Twins::short_energy, enabled(CpuFeature::avx2))) {
        short_frames_avx2<T, A>(job, divide);
        return;
    }
#endif
    short_frames_baseline<T, A>(job, divide);
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
    if (framing.win <= block && framing.hop <= framing.win && (chunk == 0 || framing.win <= chunk)) {
        // Room for a tile of squares starting on a cache line; forming them
        // never allocates.
        tile_squares_.resize(static_cast<std::size_t>(tile_samples + 2 * block + line_bytes / sizeof(double)));
    }
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
    // Also applied to a vector of four float64 totals.
    const auto divide = [&](auto total) {
        if constexpr (std::is_same_v<A, float>) {
            return quotient_ == Quotient::float32 ? static_cast<double>(total / win_float32)
                                                  : static_cast<double>(total) / win;
        } else {
            return total / win;
        }
    };
    if (!tile_squares_.empty()) {
        // Whole frames: those that end within the signal.
        const std::ptrdiff_t ending_inside = length_ >= framing_.win ? (length_ - framing_.win) / framing_.hop + 1 : 0;
        const std::ptrdiff_t whole = std::min(ending_inside, last);
        if (first < whole) {
            // Wherever the allocator put them: from a cache line on, a
            // frame's vector loads split no line when the hop is a multiple
            // of a vector.
            void* squares = tile_squares_.data();
            std::size_t room = tile_squares_.size() * sizeof(double);
            std::align(line_bytes, (tile_samples + 2 * block) * sizeof(double), squares, room);
            short_frames<T, A>(ShortFrames{signal_, framing_, first, whole, out, squares}, divide);
            first = whole;
        }
    }
    for (std::ptrdiff_t f = first; f < last; ++f) {
        const std::ptrdiff_t start = f * framing_.hop;
        const std::ptrdiff_t count = frame_length(f);
        const A total = shared_block_ > 0 && count == framing_.win
                      ? shared_frame_sum<A>(start)
                      : frame_sum<T, A>(signal_, framing_.pad, start, count, chunk_);
        out[f] = divide(total);
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
