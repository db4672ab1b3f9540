// Sixteen bytes of samples as one vector, in the vector extension GCC and
// Clang share: the compiler maps it to the baseline unit of any target
// (SSE2, NEON), so the portable twins are vector code everywhere.
#pragma once

#include <cstring>

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
// the generic conversion goes a sample at a time there).
[[gnu::always_inline]] inline Lanes<double>::Values widen_two(const float* at)
{
#if defined(__SSE2__)
    return reinterpret_cast<Lanes<double>::Values>(_mm_cvtps_pd(_mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(at)))));
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

} // namespace ostrel::kernels
#endif
