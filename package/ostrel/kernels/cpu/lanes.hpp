// Sixteen bytes of samples as one vector, in the vector extension GCC and
// Clang share: the compiler maps it to the baseline unit of any target
// (SSE2, NEON), so the portable twins are vector code everywhere.
#pragma once

#include <bit>
#include <cstring>
#include <limits>

// Without it (MSVC, or OSTREL_PLAIN_CPP) the kernels fall back to plain loops.
#if (defined(__GNUC__) || defined(__clang__)) && !defined(OSTREL_PLAIN_CPP)
#define OSTREL_VECTOR_LANES 1

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace ostrel::kernels {

template <class T>
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

template <class T>
[[gnu::always_inline]] inline typename Lanes<T>::Values load_lanes(const T* at)
{
    typename Lanes<T>::Values values;
    std::memcpy(&values, at, sizeof values);
    return values;
}

// Two float32 samples widened to float64 (SSE2 has one instruction for it;
// the generic conversion goes a sample at a time there).  Read by copy, so
// ``at`` need not be aligned at all.
[[gnu::always_inline]] inline Lanes<double>::Values widen_two(const void* at)
{
#if defined(__SSE2__)
    // Copied rather than loaded through a double pointer: a float pair is
    // aligned to four bytes only.  The copy compiles to the same single load.
    double pair;
    std::memcpy(&pair, at, sizeof pair);
    return reinterpret_cast<Lanes<double>::Values>(_mm_cvtps_pd(_mm_castpd_ps(_mm_set_sd(pair))));
#else
    typedef float Two __attribute__((vector_size(8)));
    Two raw;
    std::memcpy(&raw, at, sizeof raw);
    return __builtin_convertvector(raw, Lanes<double>::Values);
#endif
}

// Lanes whose value is not NaN, by an equality test: it raises no flag for
// a quiet NaN, where an ordered comparison would raise the invalid flag.
template <class Values>
[[gnu::always_inline]] inline auto numbers(Values values)
{
    return values == values;
}

// The lanes of a comparison's result as bits, lane 0 lowest.
template <class Masks>
[[gnu::always_inline]] inline unsigned lane_bits(Masks set)
{
#if defined(__SSE2__)
    if constexpr (sizeof(set[0]) == 8) {
        return static_cast<unsigned>(_mm_movemask_pd(reinterpret_cast<__m128d>(set)));
    } else {
        return static_cast<unsigned>(_mm_movemask_ps(reinterpret_cast<__m128>(set)));
    }
#else
    unsigned bits = 0;
    for (int k = 0; k < static_cast<int>(sizeof set / sizeof set[0]); ++k) {
        bits |= static_cast<unsigned>(set[k] & 1) << k;
    }
    return bits;
#endif
}

// Lanes strictly below zero, judged on the bits: an integer comparison
// raises no flag, where an ordered one raises the invalid flag for a NaN.
// Less one (wrapping), the bits of a value below zero are, as signed
// integers, at most those of -inf less one: -0 wraps to the top and the
// NaNs of either sign lie above.
[[gnu::always_inline]] inline Lanes<float>::Masks below_zero(Lanes<float>::Values values)
{
    typedef unsigned Bits __attribute__((vector_size(16)));
    constexpr int minus_infinity = std::bit_cast<int>(-std::numeric_limits<float>::infinity());
    // Unsigned, so that the wrap of -0 is defined and not folded away.
    const Bits less_one = reinterpret_cast<Bits>(values) - 1u;
    return reinterpret_cast<Lanes<float>::Masks>(less_one) < minus_infinity;
}

// The same for the four lanes of two float64 vectors, as one mask of four
// 32-bit lanes (what the four-lane lane_bits below takes).
[[gnu::always_inline]] inline Lanes<float>::Masks below_zero(Lanes<double>::Values low, Lanes<double>::Values high)
{
    constexpr long long minus_infinity = std::bit_cast<long long>(-std::numeric_limits<double>::infinity());
#if defined(__SSE2__)
    // SSE2 has no 64-bit comparison; -inf's low half is zero, so the high
    // halves alone decide.
    const __m128i one = _mm_set1_epi64x(1);
    const __m128 low_less_one = _mm_castsi128_ps(_mm_sub_epi64(_mm_castpd_si128(low), one));
    const __m128 high_less_one = _mm_castsi128_ps(_mm_sub_epi64(_mm_castpd_si128(high), one));
    const __m128i halves = _mm_castps_si128(_mm_shuffle_ps(low_less_one, high_less_one, _MM_SHUFFLE(3, 1, 3, 1)));
    return reinterpret_cast<Lanes<float>::Masks>(
        _mm_cmplt_epi32(halves, _mm_set1_epi32(static_cast<int>(minus_infinity >> 32))));
#else
    typedef unsigned long long Bits __attribute__((vector_size(16)));
    const Bits low_less_one = reinterpret_cast<Bits>(low) - 1u;
    const Bits high_less_one = reinterpret_cast<Bits>(high) - 1u;
    const auto four = __builtin_shufflevector(reinterpret_cast<Lanes<double>::Masks>(low_less_one) < minus_infinity,
                                              reinterpret_cast<Lanes<double>::Masks>(high_less_one) < minus_infinity,
                                              0, 1, 2, 3);
    return __builtin_convertvector(four, Lanes<float>::Masks);
#endif
}

// Two masks of two lanes as one of four.
template <class WideMasks>
[[gnu::always_inline]] inline Lanes<float>::Masks narrowed(WideMasks low, WideMasks high)
{
#if defined(__SSE2__)
    return reinterpret_cast<Lanes<float>::Masks>(
        _mm_shuffle_ps(reinterpret_cast<__m128>(low), reinterpret_cast<__m128>(high), _MM_SHUFFLE(2, 0, 2, 0)));
#else
    return __builtin_convertvector(__builtin_shufflevector(low, high, 0, 1, 2, 3), Lanes<float>::Masks);
#endif
}

// Four masks of four lanes as sixteen bits, lane 0 of `first` lowest (SSE2
// packs them into one vector: a quarter of the moves and shifts).
[[gnu::always_inline]] inline unsigned lane_bits(Lanes<float>::Masks first, Lanes<float>::Masks second,
                                                 Lanes<float>::Masks third, Lanes<float>::Masks fourth)
{
#if defined(__SSE2__)
    const __m128i low = _mm_packs_epi32(reinterpret_cast<__m128i>(first), reinterpret_cast<__m128i>(second));
    const __m128i high = _mm_packs_epi32(reinterpret_cast<__m128i>(third), reinterpret_cast<__m128i>(fourth));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(low, high)));
#else
    return lane_bits(first) | lane_bits(second) << 4 | lane_bits(third) << 8 | lane_bits(fourth) << 12;
#endif
}

} // namespace ostrel::kernels
#endif
