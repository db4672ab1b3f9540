#include "peaks.hpp"

#include "cpu_features.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#ifdef OSTREL_X86_DISPATCH
#include <immintrin.h>
#endif

namespace ostrel::kernels {
namespace {

using Mask = std::uint64_t;

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

// Any element type, any stride: the bits of positions begin <= i < end (at
// most one word), one position at a time.
// For a float64 or float32 signal each judge also raises `largest` to the
// largest maximum it finds (a maximum is never NaN).
template <class T>
Mask judge_each(const Signal& signal, std::ptrdiff_t begin, std::ptrdiff_t end, double& largest)
{
    const auto at = [&](std::ptrdiff_t i) { return load<T>(signal.data + i * signal.stride); };
    Mask bits = 0;
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        const T middle = at(i);
        // Both comparisons, without a branch between them.
        const unsigned maximum = unsigned{less(at(i - 1), middle)} & unsigned{less(at(i + 1), middle)};
        bits |= static_cast<Mask>(maximum) << (i - begin);
        if constexpr (std::is_floating_point_v<T>) {
            largest = maximum != 0 ? std::max(largest, static_cast<double>(middle)) : largest;
        }
    }
    return bits;
}

// Contiguous float64, two positions at a time with the baseline vector unit.
// Its ordered comparisons raise the invalid flag for NaN, so NaN lanes are
// set to zero first (an equality test raises nothing) and masked out.
typedef double Pair __attribute__((vector_size(16)));
typedef long long PairMask __attribute__((vector_size(16)));

Pair without_nan(Pair values, PairMask& ordered)
{
    const PairMask is_number = values == values;
    ordered &= is_number;
    return is_number ? values : Pair{};
}

Mask judge_pairs(const Signal& signal, std::ptrdiff_t begin, std::ptrdiff_t end, double& largest)
{
    const auto* x = reinterpret_cast<const double*>(signal.data);
    const auto pair_at = [&](std::ptrdiff_t i) {
        Pair values;
        std::memcpy(&values, x + i, sizeof values);
        return values;
    };
    Mask bits = 0;
    std::ptrdiff_t i = begin;
    for (; end - i >= 2; i += 2) {
        PairMask counts = ~PairMask{};
        const Pair middle = without_nan(pair_at(i), counts);
        counts &= (without_nan(pair_at(i - 1), counts) < middle) & (without_nan(pair_at(i + 1), counts) < middle);
        bits |= (Mask(counts[0] & 1) | Mask(counts[1] & 1) << 1) << (i - begin);
        for (int k = 0; k < 2; ++k) {
            largest = counts[k] != 0 ? std::max(largest, middle[k]) : largest;
        }
    }
    return i < end ? bits | judge_each<double>(signal, i, end, largest) << (i - begin) : bits;
}

#ifdef OSTREL_X86_DISPATCH
// Contiguous float64, four positions at a time, where the processor has AVX2:
// its quiet comparisons are false for NaN and raise nothing.
[[gnu::target("avx2")]] Mask judge_quads(const Signal& signal, std::ptrdiff_t begin, std::ptrdiff_t end,
                                         double& largest)
{
    const auto* x = reinterpret_cast<const double*>(signal.data);
    const __m256d none = _mm256_set1_pd(-__builtin_inf());
    __m256d top = none;
    Mask bits = 0;
    std::ptrdiff_t i = begin;
    for (; end - i >= 4; i += 4) {
        const __m256d middle = _mm256_loadu_pd(x + i);
        const __m256d counts = _mm256_and_pd(_mm256_cmp_pd(_mm256_loadu_pd(x + i - 1), middle, _CMP_LT_OQ),
                                             _mm256_cmp_pd(_mm256_loadu_pd(x + i + 1), middle, _CMP_LT_OQ));
        bits |= static_cast<Mask>(_mm256_movemask_pd(counts)) << (i - begin);
        top = _mm256_max_pd(top, _mm256_blendv_pd(none, middle, counts));
    }
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, top);
    for (const double lane : lanes) {
        largest = std::max(largest, lane);
    }
    return i < end ? bits | judge_each<double>(signal, i, end, largest) << (i - begin) : bits;
}

// Contiguous float32, eight positions at a time.
[[gnu::target("avx2")]] Mask judge_octs(const Signal& signal, std::ptrdiff_t begin, std::ptrdiff_t end,
                                        double& largest)
{
    const auto* x = reinterpret_cast<const float*>(signal.data);
    const __m256 none = _mm256_set1_ps(-__builtin_inff());
    __m256 top = none;
    Mask bits = 0;
    std::ptrdiff_t i = begin;
    for (; end - i >= 8; i += 8) {
        const __m256 middle = _mm256_loadu_ps(x + i);
        const __m256 counts = _mm256_and_ps(_mm256_cmp_ps(_mm256_loadu_ps(x + i - 1), middle, _CMP_LT_OQ),
                                            _mm256_cmp_ps(_mm256_loadu_ps(x + i + 1), middle, _CMP_LT_OQ));
        bits |= static_cast<Mask>(_mm256_movemask_ps(counts)) << (i - begin);
        top = _mm256_max_ps(top, _mm256_blendv_ps(none, middle, counts));
    }
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, top);
    for (const float lane : lanes) {
        largest = std::max(largest, static_cast<double>(lane));
    }
    return i < end ? bits | judge_each<float>(signal, i, end, largest) << (i - begin) : bits;
}

// The bits of the 64 positions from x on whose samples are strictly above
// `floor`, by AVX2's quiet comparison; float32 samples are widened to float64
// first, exactly as the scalar comparison widens them, so any `floor` compares
// the same way.
[[gnu::target("avx2")]] Mask above_quads(const char* data, double floor)
{
    const auto* x = reinterpret_cast<const double*>(data);
    const __m256d threshold = _mm256_set1_pd(floor);
    Mask bits = 0;
    for (int k = 0; k < 64; k += 4) {
        bits |= static_cast<Mask>(_mm256_movemask_pd(_mm256_cmp_pd(_mm256_loadu_pd(x + k), threshold, _CMP_GT_OQ))) << k;
    }
    return bits;
}

[[gnu::target("avx2")]] Mask above_octs(const char* data, double floor)
{
    const auto* x = reinterpret_cast<const float*>(data);
    const __m256d threshold = _mm256_set1_pd(floor);
    Mask bits = 0;
    for (int k = 0; k < 64; k += 4) {
        const __m256d wide = _mm256_cvtps_pd(_mm_loadu_ps(x + k));
        bits |= static_cast<Mask>(_mm256_movemask_pd(_mm256_cmp_pd(wide, threshold, _CMP_GT_OQ))) << k;
    }
    return bits;
}

[[gnu::target("popcnt")]] std::ptrdiff_t count_with_popcnt(const std::uint64_t* bits, std::ptrdiff_t first,
                                                          std::ptrdiff_t last)
{
    std::ptrdiff_t count = 0;
    for (std::ptrdiff_t word = first; word < last; ++word) {
        count += __builtin_popcountll(bits[word]);
    }
    return count;
}
#endif

// The judge for one word of positions.
using Judge = Mask (*)(const Signal&, std::ptrdiff_t, std::ptrdiff_t, double&);

Judge judge_for(const Signal& signal)
{
    if (signal.element == Element::float64 && signal.stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
#ifdef OSTREL_X86_DISPATCH
        if (enabled(CpuFeature::avx2)) {
            return judge_quads;
        }
#endif
        return judge_pairs;
    }
#ifdef OSTREL_X86_DISPATCH
    if (signal.element == Element::float32 && signal.stride == static_cast<std::ptrdiff_t>(sizeof(float))
        && enabled(CpuFeature::avx2)) {
        return judge_octs;
    }
#endif
    return with_element(signal.element, [](auto type) -> Judge { return judge_each<decltype(type)>; });
}

} // namespace

MaximaMap::MaximaMap(const Signal& signal)
    : signal_(signal),
      words_((signal.length + word_bits - 1) / word_bits),
      bits_(std::make_unique_for_overwrite<std::uint64_t[]>(static_cast<std::size_t>(words_)))
{
}

void MaximaMap::judge(std::ptrdiff_t first, std::ptrdiff_t last)
{
    // The first and last positions never count: they lack a neighbour.
    const Judge judge_word = judge_for(signal_);
    for (std::ptrdiff_t word = first; word < last; ++word) {
        const std::ptrdiff_t begin = std::max<std::ptrdiff_t>(word * word_bits, 1);
        const std::ptrdiff_t end = std::min((word + 1) * word_bits, signal_.length - 1);
        bits_[word] = begin < end ? judge_word(signal_, begin, end, largest_) << (begin - word * word_bits) : 0;
    }
}

double MaximaMap::value_at(std::ptrdiff_t position) const
{
    return with_element(signal_.element, [&](auto type) {
        return static_cast<double>(load<decltype(type)>(signal_.data + position * signal_.stride));
    });
}

// Calls each(position) for every set bit of the words first <= w < last.
template <class Each>
void each_maximum(const std::uint64_t* bits, std::ptrdiff_t first, std::ptrdiff_t last, Each&& each)
{
    for (std::ptrdiff_t word = first; word < last; ++word) {
        for (Mask set = bits[word]; set != 0; set &= set - 1) {
            each(word * MaximaMap::word_bits + std::countr_zero(set));
        }
    }
}

std::ptrdiff_t MaximaMap::count(std::ptrdiff_t first, std::ptrdiff_t last) const
{
#ifdef OSTREL_X86_DISPATCH
    if (enabled(CpuFeature::popcnt)) {
        return count_with_popcnt(bits_.get(), first, last);
    }
#endif
    std::ptrdiff_t count = 0;
    for (std::ptrdiff_t word = first; word < last; ++word) {
        count += std::popcount(bits_[word]);
    }
    return count;
}

void MaximaMap::keep_above(std::ptrdiff_t first, std::ptrdiff_t last, double floor)
{
#ifdef OSTREL_X86_DISPATCH
    // Contiguous float64 or float32: whole words at once, up to the signal's last word.
    Mask (*above_word)(const char*, double) = nullptr;
    if (signal_.element == Element::float64 && signal_.stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
        above_word = above_quads;
    } else if (signal_.element == Element::float32 && signal_.stride == static_cast<std::ptrdiff_t>(sizeof(float))) {
        above_word = above_octs;
    }
    if (above_word != nullptr && enabled(CpuFeature::avx2)) {
        const std::ptrdiff_t whole = std::min(last, signal_.length / word_bits);
        for (; first < whole; ++first) {
            if (bits_[first] != 0) {
                bits_[first] &= above_word(signal_.data + first * word_bits * signal_.stride, floor);
            }
        }
    }
#endif
    for (std::ptrdiff_t word = first; word < last; ++word) {
        Mask kept = 0;
        each_maximum(bits_.get(), word, word + 1, [&](std::ptrdiff_t position) {
            kept |= static_cast<Mask>(__builtin_isless(floor, value_at(position))) << (position - word * word_bits);
        });
        bits_[word] = kept;
    }
}

std::ptrdiff_t MaximaMap::gather(char* out) const
{
    return with_element(signal_.element, [&](auto type) {
        using T = decltype(type);
        std::ptrdiff_t next = 0;
        std::ptrdiff_t top = 0;
        each_maximum(bits_.get(), 0, words_, [&](std::ptrdiff_t position) {
            const T value = load<T>(signal_.data + position * signal_.stride);
            std::memcpy(out + next * static_cast<std::ptrdiff_t>(sizeof(T)), &value, sizeof value);
            if (less(load<T>(out + top * static_cast<std::ptrdiff_t>(sizeof(T))), value)) {
                top = next;
            }
            ++next;
        });
        return top;
    });
}

void MaximaMap::keep_where(const char* keep, std::ptrdiff_t stride)
{
    std::ptrdiff_t k = 0;
    for (std::ptrdiff_t word = 0; word < words_; ++word) {
        Mask kept = 0;
        each_maximum(bits_.get(), word, word + 1, [&](std::ptrdiff_t position) {
            kept |= static_cast<Mask>(keep[k++ * stride] != 0) << (position - word * word_bits);
        });
        bits_[word] = kept;
    }
}

std::ptrdiff_t* MaximaMap::write(std::ptrdiff_t first, std::ptrdiff_t last, std::ptrdiff_t* out,
                                 std::ptrdiff_t* room) const
{
    each_maximum(bits_.get(), first, last, [&](std::ptrdiff_t position) {
        if (out < room) {
            *out++ = position;
        }
    });
    return out;
}

} // namespace ostrel::kernels
