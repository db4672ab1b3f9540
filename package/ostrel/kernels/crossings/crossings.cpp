#include "kernels/crossings/crossings.hpp"

#include "kernels/crossings/bit_words.hpp"
#include "kernels/cpu/cpu_features.hpp"
#include "kernels/cpu/lanes.hpp"
#include "kernels/cpu/ordered_retry.hpp"

#include <algorithm>
#include <bit>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <type_traits>

#ifdef OSTREL_X86_DISPATCH
#include <immintrin.h>
#endif

namespace ostrel::kernels {
namespace {

#ifdef OSTREL_VECTOR_LANES
template <class T, class P>
typename Lanes<P>::Values load_lanes(const char* at)
{
    typename Lanes<P>::Values values;
    if constexpr (std::is_same_v<T, P>) {
        std::memcpy(&values, at, sizeof values);
    } else if constexpr (std::is_same_v<T, float> && std::is_same_v<P, double>) {
        typedef float Two __attribute__((vector_size(8)));
        Two raw;
        std::memcpy(&raw, at, sizeof raw);
        values = __builtin_convertvector(raw, typename Lanes<P>::Values);
    } else {
        for (int j = 0; j < Lanes<P>::count; ++j) {
            values[j] = static_cast<P>(load<T>(at + j * static_cast<std::ptrdiff_t>(sizeof(T))));
        }
    }
    return values;
}

// Lanes strictly below zero.  NaN lanes are set to zero first (an equality
// test raises no flag), so that the ordered comparison raises none either,
// as numpy's comparison raises none.
template <class Values>
auto quiet_negative(Values products)
{
    const Values ordered = products == products ? products : Values{};
    return ordered < Values{};
}
#endif

#ifdef OSTREL_VECTOR_LANES
// Pairs counted a block at a time: few enough that no lane count
// overflows, and that a block judged again (a NaN met) is still in cache;
// enough that setting the flags aside costs nothing beside the block.
constexpr std::ptrdiff_t pair_block = std::ptrdiff_t{1} << 16;

// Crossings among the pairs (k, k + 1), 0 <= k < pairs (a multiple of the
// lane count, at most a block), of contiguous samples from x on.  Not
// `careful`, by an ordered comparison, which raises the invalid flag for a
// NaN product: the caller then counts the block again carefully.
// `aligned`: x starts on sixteen bytes.
template <class T, class P, bool careful, bool aligned>
std::ptrdiff_t pair_lanes(const char* x, std::ptrdiff_t pairs)
{
    if constexpr (aligned) {
        x = static_cast<const char*>(__builtin_assume_aligned(x, 16));
    }
    constexpr int lanes = Lanes<P>::count;
    constexpr auto size = static_cast<std::ptrdiff_t>(sizeof(T));
    using Masks = typename Lanes<P>::Masks;
    const auto below = [&](std::ptrdiff_t k) -> Masks {
        const auto products = load_lanes<T, P>(x + k * size) * load_lanes<T, P>(x + (k + 1) * size);
        if constexpr (!careful) {
            return products < decltype(products){};
        } else if constexpr (std::is_same_v<P, float>) {
            // Judged on the bits: one operation fewer than clearing NaN lanes.
            return below_zero(products);
        } else {
            return reinterpret_cast<Masks>(quiet_negative(products));
        }
    };
    // Four counts, so that none waits on another.
    Masks counts[4]{};
    std::ptrdiff_t k = 0;
    for (; pairs - k >= 4 * lanes; k += 4 * lanes) {
        for (int q = 0; q < 4; ++q) {
            counts[q] -= below(k + q * lanes);
        }
    }
    for (; k < pairs; k += lanes) {
        counts[0] -= below(k);
    }
    const Masks all = (counts[0] + counts[1]) + (counts[2] + counts[3]);
    std::ptrdiff_t crossings = 0;
    for (int j = 0; j < lanes; ++j) {
        crossings += all[j];
    }
    return crossings;
}
#endif

// A padding zero the compiler cannot see: knowing it, a compiler may fold
// `0 * x < 0` to false and drop the product, and with it the invalid flag
// that 0 * inf raises in numpy's statements.
template <class P>
P unseen_zero()
{
    static volatile P zero = P(0);
    return zero;
}

template <class T, class P>
bool crosses(const Signal& signal, std::ptrdiff_t i)
{
    const P left = static_cast<P>(load<T>(signal.data + i * signal.stride));
    const P right = static_cast<P>(load<T>(signal.data + (i + 1) * signal.stride));
    return std::isless(left * right, P(0));
}

#ifdef OSTREL_X86_DISPATCH
// Lane counts are flushed often enough that no lane can overflow.
constexpr std::ptrdiff_t flush_every = std::ptrdiff_t{1} << 20;

// Crossings among the pairs (k, k + 1), 0 <= k < n - n % 16, of contiguous
// float64 samples, or float32 ones (their products formed in `P`), with
// AVX2: its quiet comparison is false for NaN and raises nothing, so no lane
// needs setting to zero first.
template <class T, class P>
[[gnu::target("avx2")]] std::ptrdiff_t count_pairs_avx2(const T* x, std::ptrdiff_t n)
{
    __m256i counts = _mm256_setzero_si256();  // four 64-bit lanes
    const std::ptrdiff_t whole = n - n % 16;
    if constexpr (std::is_same_v<T, float> && std::is_same_v<P, float>) {
        // Eight 32-bit lane counts, widened often enough that none overflows.
        for (std::ptrdiff_t k0 = 0; k0 < whole; k0 += flush_every) {
            const std::ptrdiff_t stop = std::min(whole, k0 + flush_every);
            __m256i lane_counts = _mm256_setzero_si256();
            for (std::ptrdiff_t k = k0; k < stop; k += 16) {
                for (int q = 0; q < 16; q += 8) {
                    const __m256 products = _mm256_mul_ps(_mm256_loadu_ps(x + k + q), _mm256_loadu_ps(x + k + q + 1));
                    lane_counts = _mm256_sub_epi32(
                        lane_counts, _mm256_castps_si256(_mm256_cmp_ps(products, _mm256_setzero_ps(), _CMP_LT_OQ)));
                }
            }
            counts = _mm256_add_epi64(counts, _mm256_cvtepu32_epi64(_mm256_castsi256_si128(lane_counts)));
            counts = _mm256_add_epi64(counts, _mm256_cvtepu32_epi64(_mm256_extracti128_si256(lane_counts, 1)));
        }
    } else {
        for (std::ptrdiff_t k = 0; k < whole; k += 4) {
            __m256d left;
            __m256d right;
            if constexpr (std::is_same_v<T, double>) {
                left = _mm256_loadu_pd(x + k);
                right = _mm256_loadu_pd(x + k + 1);
            } else {
                left = _mm256_cvtps_pd(_mm_loadu_ps(x + k));
                right = _mm256_cvtps_pd(_mm_loadu_ps(x + k + 1));
            }
            const __m256d below = _mm256_cmp_pd(_mm256_mul_pd(left, right), _mm256_setzero_pd(), _CMP_LT_OQ);
            counts = _mm256_sub_epi64(counts, _mm256_castpd_si256(below));
        }
    }
    alignas(32) long long lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), counts);
    return static_cast<std::ptrdiff_t>(lanes[0] + lanes[1] + lanes[2] + lanes[3]);
}
#endif

// Crossings among the pairs (i, i + 1), begin <= i < end, of the signal itself.
template <class T, class P>
std::ptrdiff_t count_pairs(const Signal& signal, std::ptrdiff_t begin, std::ptrdiff_t end)
{
    std::ptrdiff_t crossings = 0;
    std::ptrdiff_t i = begin;
#ifdef OSTREL_X86_DISPATCH
    if constexpr (std::is_same_v<T, P> || (std::is_same_v<T, float> && std::is_same_v<P, double>)) {
        if (signal.stride == static_cast<std::ptrdiff_t>(sizeof(T)) && chosen(Twins::pair_count, enabled(CpuFeature::avx2))) {
            const std::ptrdiff_t whole = (end - i) - (end - i) % 16;
            crossings += count_pairs_avx2<T, P>(reinterpret_cast<const T*>(signal.data) + i, end - i);
            i += whole;
        }
    }
#endif
#ifdef OSTREL_VECTOR_LANES
    if (signal.stride == static_cast<std::ptrdiff_t>(sizeof(T))) {
        constexpr int lanes = Lanes<P>::count;
        constexpr auto size = static_cast<std::ptrdiff_t>(sizeof(T));
        if constexpr (std::is_same_v<T, P>) {
            // Single pairs up to sixteen bytes, where the samples' own type
            // is the products': each pair's left-hand vector is then
            // aligned, and the multiplication takes it from memory.
            for (; i < end && reinterpret_cast<std::uintptr_t>(signal.data + i * size) % 16 != 0
                   && reinterpret_cast<std::uintptr_t>(signal.data) % size == 0;
                 ++i) {
                crossings += crosses<T, P>(signal, i);
            }
        }
        while (end - i >= lanes) {
            const std::ptrdiff_t pairs = std::min(pair_block, (end - i) / lanes * lanes);
            const char* const x = signal.data + i * size;
            std::ptrdiff_t block = 0;
            // Other types are converted before they are multiplied.
            constexpr bool same = std::is_same_v<T, P>;
            if (same && reinterpret_cast<std::uintptr_t>(x) % 16 == 0) {
                ordered_else_careful([&] { block = pair_lanes<T, P, false, same>(x, pairs); },
                                     [&] { block = pair_lanes<T, P, true, same>(x, pairs); });
            } else {
                ordered_else_careful([&] { block = pair_lanes<T, P, false, false>(x, pairs); },
                                     [&] { block = pair_lanes<T, P, true, false>(x, pairs); });
            }
            crossings += block;
            i += pairs;
        }
    }
#endif
    for (; i < end; ++i) {
        crossings += crosses<T, P>(signal, i);
    }
    return crossings;
}

template <class T, class P>
std::ptrdiff_t count_padded(const Signal& signal, std::ptrdiff_t pad, std::ptrdiff_t first, std::ptrdiff_t last)
{
    std::ptrdiff_t crossings = 0;
    // Pairs of two padding zeros give 0 and raise nothing; the pair of the
    // last zero and the first sample is formed, as it may raise a flag.
    if (first <= pad - 1 && pad - 1 < last) {
        crossings += std::isless(unseen_zero<P>() * static_cast<P>(load<T>(signal.data)), P(0));
    }
    const std::ptrdiff_t begin = std::max(first, pad) - pad;
    const std::ptrdiff_t end = last - pad;
    if (begin < end) {
        crossings += count_pairs<T, P>(signal, begin, end);
    }
    return crossings;
}

#ifdef OSTREL_VECTOR_LANES
// Lanes of the four pairs from x[k] on whose product is below zero, for
// samples of a type the products share, or integers.
// Not `careful`, by ordered comparisons, which raise the invalid flag for a
// NaN product (the caller then forms the bits again carefully).
template <bool careful, class Values>
[[gnu::always_inline]] inline Lanes<float>::Masks products_below_zero(Values products)
{
    if constexpr (careful) {
        return below_zero(products);
    } else {
        return products < Values{};
    }
}

template <bool careful>
[[gnu::always_inline]] inline Lanes<float>::Masks products_below_zero(Lanes<double>::Values low,
                                                                     Lanes<double>::Values high)
{
    if constexpr (careful) {
        return below_zero(low, high);
    } else {
        return narrowed(low < Lanes<double>::Values{}, high < Lanes<double>::Values{});
    }
}

template <class T, class P, bool careful>
[[gnu::always_inline]] inline Lanes<float>::Masks crossing_quad(const char* x, int k)
{
    constexpr auto size = static_cast<std::ptrdiff_t>(sizeof(T));
    if constexpr (std::is_same_v<P, float>) {
        return products_below_zero<careful>(load_lanes<T, P>(x + k * size) * load_lanes<T, P>(x + (k + 1) * size));
    } else {
        const auto low = load_lanes<T, P>(x + k * size) * load_lanes<T, P>(x + (k + 1) * size);
        const auto high = load_lanes<T, P>(x + (k + 2) * size) * load_lanes<T, P>(x + (k + 3) * size);
        return products_below_zero<careful>(low, high);
    }
}

// One word of crossing bits of contiguous samples x[0..64] of the product
// type, with the baseline vector unit (the AVX2 twins are below): sixteen
// pairs' masks are packed into one move of bits.  A call of its own:
// inlined into the tile's loops it ran some 15% slower.  Not `careful`, the
// products are compared by ordered comparisons: a NaN raises the invalid
// flag, and the caller forms the bits again carefully.
template <class T, class P, bool careful>
[[gnu::noinline]] Word crossing_word(const char* x)
{
    Word word = 0;
    if constexpr (std::is_same_v<T, float> && std::is_same_v<P, double> && !careful) {
        // float32 products judged in float32: where none underflows (the
        // underflow flag) their signs are those of the exact float64
        // products; the caller forms the bits again in float64 where the
        // flag, or the invalid or overflow flag, was raised.
        for (int k = 0; k < word_bits; k += 16) {
            word |= Word{lane_bits(crossing_quad<float, float, false>(x, k), crossing_quad<float, float, false>(x, k + 4),
                                   crossing_quad<float, float, false>(x, k + 8),
                                   crossing_quad<float, float, false>(x, k + 12))}
                    << k;
        }
    } else if constexpr (std::is_same_v<T, float> && std::is_same_v<P, double>) {
        // Each sample widened once, a pair at a time: the right-hand samples
        // of pairs k, k + 1 are the widened x[k + 1] and x[k + 2].
        typedef typename Lanes<P>::Values Pair;
        const auto samples = reinterpret_cast<const float*>(x);
        // x[64] is the word's last sample: nothing past it is read.
        const double last = load<float>(x + word_bits * static_cast<std::ptrdiff_t>(sizeof(float)));
        Pair left = widen_two(samples);
        for (int k = 0; k < word_bits; k += 16) {
            typename Lanes<float>::Masks quads[4];
            for (int q = 0; q < 4; ++q) {
                const int at = k + 4 * q;
                const Pair middle = widen_two(samples + at + 2);
                // Of the last `next`, only the first lane is multiplied.
                const Pair next = at + 4 < word_bits ? widen_two(samples + at + 4) : Pair{last, 0.0};
                quads[q] = products_below_zero<careful>(left * __builtin_shufflevector(left, middle, 1, 2),
                                      middle * __builtin_shufflevector(middle, next, 1, 2));
                left = next;
            }
            word |= Word{lane_bits(quads[0], quads[1], quads[2], quads[3])} << k;
        }
    } else {
        for (int k = 0; k < word_bits; k += 16) {
            word |= Word{lane_bits(crossing_quad<T, P, careful>(x, k), crossing_quad<T, P, careful>(x, k + 4),
                                   crossing_quad<T, P, careful>(x, k + 8), crossing_quad<T, P, careful>(x, k + 12))}
                    << k;
        }
    }
    return word;
}
#endif

#ifdef OSTREL_X86_DISPATCH
[[gnu::target("avx2")]] Word crossing_word_avx2(const double* x)
{
    Word word = 0;
    for (int k = 0; k < word_bits; k += 4) {
        const __m256d products = _mm256_mul_pd(_mm256_loadu_pd(x + k), _mm256_loadu_pd(x + k + 1));
        word |= Word(_mm256_movemask_pd(_mm256_cmp_pd(products, _mm256_setzero_pd(), _CMP_LT_OQ))) << k;
    }
    return word;
}

[[gnu::target("avx2")]] Word crossing_word_avx2(const float* x)
{
    Word word = 0;
    for (int k = 0; k < word_bits; k += 8) {
        const __m256 products = _mm256_mul_ps(_mm256_loadu_ps(x + k), _mm256_loadu_ps(x + k + 1));
        word |= Word(_mm256_movemask_ps(_mm256_cmp_ps(products, _mm256_setzero_ps(), _CMP_LT_OQ))) << k;
    }
    return word;
}

// float32 samples whose products are formed in float64.
[[gnu::target("avx2")]] Word crossing_word_avx2_widened(const float* x)
{
    Word word = 0;
    for (int k = 0; k < word_bits; k += 4) {
        const __m256d left = _mm256_cvtps_pd(_mm_loadu_ps(x + k));
        const __m256d right = _mm256_cvtps_pd(_mm_loadu_ps(x + k + 1));
        const __m256d products = _mm256_mul_pd(left, right);
        word |= Word(_mm256_movemask_pd(_mm256_cmp_pd(products, _mm256_setzero_pd(), _CMP_LT_OQ))) << k;
    }
    return word;
}

// Words of crossing bits for whole words of pairs from x on, into words[0..count).
template <class T, class P>
[[gnu::target("avx2")]] void crossing_words_avx2(const char* x, std::ptrdiff_t count, Word* words)
{
    for (std::ptrdiff_t w = 0; w < count; ++w) {
        if constexpr (std::is_same_v<T, P>) {
            words[w] = crossing_word_avx2(reinterpret_cast<const T*>(x) + w * word_bits);
        } else {
            words[w] = crossing_word_avx2_widened(reinterpret_cast<const float*>(x) + w * word_bits);
        }
    }
}
#endif

// Whether crossing_word forms the float64 products of float32 samples in
// float32 when not careful.
template <class T, class P>
constexpr bool narrowed_products = std::is_same_v<T, float> && std::is_same_v<P, double>;

// Crossing bits of the pairs (j, j + 1), begin <= j < end, of the signal
// with `pad` zeros in front, at bit j - begin of `words` (cleared first).
// The pairs are formed as count_padded forms them.  `with_avx2`: whole words
// by AVX2 (compiled into an AVX2 caller only); not `careful`, the baseline's
// words by ordered comparisons (see crossing_word).
template <bool with_avx2, bool careful, class T, class P>
[[gnu::always_inline]] inline void crossing_bits(const Signal& signal, std::ptrdiff_t pad, std::ptrdiff_t begin, std::ptrdiff_t end, Word* words)
{
    std::fill(words, words + (end - begin + word_bits - 1) / word_bits, Word{0});
    // Pairs of two padding zeros give 0; the pair of the last zero and the
    // first sample is formed, as it may raise a flag.
    std::ptrdiff_t j = std::max(begin, pad - 1);
    if (j < end && j == pad - 1) {
        put_bits(words, j - begin, std::isless(unseen_zero<P>() * static_cast<P>(load<T>(signal.data)), P(0)), 1);
        ++j;
    }
    // Pairs of the signal itself from here on.
    std::ptrdiff_t i = j - pad;
    const std::ptrdiff_t stop = end - pad;
    if (signal.stride == static_cast<std::ptrdiff_t>(sizeof(T))) {
        [[maybe_unused]] constexpr auto size = static_cast<std::ptrdiff_t>(sizeof(T));
        // Single pairs up to a word's first bit, then whole words of pairs.
        for (; i < stop && (i + pad - begin) % word_bits != 0; ++i) {
            put_bits(words, i + pad - begin, crosses<T, P>(signal, i), 1);
        }
#ifdef OSTREL_X86_DISPATCH
        if constexpr (with_avx2 && (std::is_same_v<T, P> || (std::is_same_v<T, float> && std::is_same_v<P, double>))) {
            if (stop - i >= word_bits) {
                const std::ptrdiff_t whole = (stop - i) / word_bits;
                crossing_words_avx2<T, P>(signal.data + i * size, whole, words + (i + pad - begin) / word_bits);
                i += whole * word_bits;
            }
        }
#endif
#ifdef OSTREL_VECTOR_LANES
        for (; stop - i >= word_bits; i += word_bits) {
            words[(i + pad - begin) / word_bits] = crossing_word<T, P, careful>(signal.data + i * size);
        }
#endif
    }
    for (; i < stop; ++i) {
        put_bits(words, i + pad - begin, crosses<T, P>(signal, i), 1);
    }
}

// Frames of at most `tile_pairs` samples, a tile of frames at a time: the
// crossing bits of every pair from the tile's first frame's start to its
// last frame's end are formed once, and each frame counts its own.
constexpr std::ptrdiff_t tile_pairs = 4096;
constexpr std::ptrdiff_t tile_words = 2 * tile_pairs / word_bits + 1;

// Frames of `blocks` hops, each counted from the counts of a hop's pairs
// rather than from its own bits: a frame's bits are counted once, not once
// per frame that holds them.  Block b holds the pairs from b * hop - 1 (0
// for the first) up to (b + 1) * hop - 1, counted from the tile's first
// frame's start; a frame r, from r * hop on, is blocks r to r + blocks - 1
// but for the pair before its start.  Only frames that slicing does not
// clip, f0 <= f < stop; returns the frame after the last counted.
constexpr std::ptrdiff_t ring_blocks = 256;

template <bool with_popcnt>
[[gnu::always_inline]] inline std::ptrdiff_t shared_block_rates(const Framing& framing, std::ptrdiff_t f0,
                                                                std::ptrdiff_t stop, const Word* words,
                                                                std::ptrdiff_t blocks, double* out)
{
    if (f0 >= stop) {
        return f0;
    }
    const double win = static_cast<double>(framing.win);
    const std::ptrdiff_t hop = framing.hop;
    const auto block_count = [&](std::ptrdiff_t b) {
        return count_bits<with_popcnt>(words, std::max<std::ptrdiff_t>(b * hop - 1, 0), (b + 1) * hop - 1);
    };
    // The counts of the blocks of the frame under way, in a ring.
    std::ptrdiff_t ring[ring_blocks];
    std::ptrdiff_t window = 0;
    for (std::ptrdiff_t b = 0; b < blocks - 1; ++b) {
        ring[b] = block_count(b);
        window += ring[b];
    }
    for (std::ptrdiff_t f = f0; f < stop; ++f) {
        const std::ptrdiff_t r = f - f0;
        const std::ptrdiff_t newest = block_count(r + blocks - 1);
        ring[(r + blocks - 1) % blocks] = newest;
        window += newest;
        const std::ptrdiff_t before = r * hop - 1;
        const std::ptrdiff_t dropped = r > 0 ? static_cast<std::ptrdiff_t>(words[before / word_bits] >> (before % word_bits) & 1u) : 0;
        out[f] = static_cast<double>(window - dropped) / win;
        window -= ring[r % blocks];
    }
    return stop;
}

// Frames whose start and length are whole bytes of bits (hop and window
// multiples of eight), counted from the counts of the tile's bits before
// each byte: two look-ups a frame where counting its words' bits without a
// population count instruction takes a few dozen steps.  The bytes' counts
// come a word at a time, summed within the word by one multiplication.
// Only frames that slicing does not clip, f0 <= f < stop; `begin` and `end`
// bound the tile's pairs.
constexpr std::ptrdiff_t tile_bytes = tile_words * 8;

[[gnu::always_inline]] inline void byte_prefix_rates(const Framing& framing, std::ptrdiff_t f0, std::ptrdiff_t stop,
                                                     std::ptrdiff_t begin, std::ptrdiff_t end, const Word* words,
                                                     double* out)
{
    // before[q]: the set bits among bits 0 <= k < 8q.
    std::uint16_t before[tile_bytes + 1];
    before[0] = 0;
    unsigned total = 0;
    const std::ptrdiff_t word_count = (end - begin + word_bits - 1) / word_bits;
    for (std::ptrdiff_t w = 0; w < word_count; ++w) {
        Word counts = words[w] - ((words[w] >> 1) & 0x5555555555555555u);
        counts = (counts & 0x3333333333333333u) + ((counts >> 2) & 0x3333333333333333u);
        counts = (counts + (counts >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
        // Byte b of `running`: the bits of bytes 0 to b.
        const Word running = counts * 0x0101010101010101u;
        for (int b = 0; b < 8; ++b) {
            before[8 * w + b + 1] = static_cast<std::uint16_t>(total + (running >> (8 * b) & 0xffu));
        }
        total += static_cast<unsigned>(running >> 56);
    }
    const double win = static_cast<double>(framing.win);
    for (std::ptrdiff_t f = f0; f < stop; ++f) {
        // A frame's pairs run from its start up to its start + win - 1: all
        // the bits of its bytes but the last one.
        const std::ptrdiff_t start = f * framing.hop - begin;
        const std::ptrdiff_t last = start + framing.win - 1;
        const int count = before[(start + framing.win) / 8] - before[start / 8]
                          - static_cast<int>(words[last / word_bits] >> (last % word_bits) & 1u);
        out[f] = static_cast<double>(count) / win;
    }
}

template <bool with_avx2, class T, class P>
[[gnu::always_inline]] inline void tiled_rates_body(const Signal& signal, const Framing& framing, std::ptrdiff_t first,
                                                    std::ptrdiff_t last, double* out, Word* words)
{
    const std::ptrdiff_t length = framing.pad + signal.length;
    const double win = static_cast<double>(framing.win);
    const std::ptrdiff_t tile_frames = std::max<std::ptrdiff_t>(tile_pairs / framing.hop, 1);
    // Frames a whole number of hops long, and no more than a block count's
    // ring of hops, share their blocks; where a hop spans a few words of
    // bits, that saves more than the blocks' own upkeep costs.
    const std::ptrdiff_t blocks_per_frame =
        framing.hop >= 4 * word_bits && framing.win % framing.hop == 0 && framing.win / framing.hop <= ring_blocks
            ? framing.win / framing.hop
            : 0;
    // Frames before this one end within the signal: slicing clips none.
    const std::ptrdiff_t whole_end = length >= framing.win ? (length - framing.win) / framing.hop + 1 : 0;
    for (std::ptrdiff_t f0 = first; f0 < last; f0 += tile_frames) {
        const std::ptrdiff_t f1 = std::min(f0 + tile_frames, last);
        const std::ptrdiff_t begin = f0 * framing.hop;
        const std::ptrdiff_t end = std::min((f1 - 1) * framing.hop + framing.win, length) - 1;
        if (end > begin) {
            if constexpr (with_avx2) {
                crossing_bits<true, true, T, P>(signal, framing.pad, begin, end, words);
            } else {
                ordered_else_careful([&] { crossing_bits<false, false, T, P>(signal, framing.pad, begin, end, words); },
                                     [&] { crossing_bits<false, true, T, P>(signal, framing.pad, begin, end, words); },
                                     narrowed_products<T, P> ? FE_INVALID | FE_OVERFLOW | FE_UNDERFLOW : FE_INVALID);
            }
        }
        std::ptrdiff_t f = f0;
        if (blocks_per_frame > 1) {
            f = shared_block_rates<with_avx2>(framing, f0, std::min(f1, whole_end), words, blocks_per_frame, out);
        }
        if constexpr (!with_avx2) {
            if (framing.hop % 8 == 0 && framing.win % 8 == 0 && f < std::min(f1, whole_end)) {
                byte_prefix_rates(framing, f, std::min(f1, whole_end), begin, end, words, out);
                f = std::min(f1, whole_end);
            }
        }
        for (; f < f1; ++f) {
            // Slicing clips the frame at the end of the signal; a frame of
            // fewer than two samples has no pairs.
            const std::ptrdiff_t start = f * framing.hop;
            const std::ptrdiff_t pairs_end = std::min(start + framing.win, length) - 1;
            out[f] = static_cast<double>(count_bits<with_avx2>(words, start - begin, pairs_end - begin)) / win;
        }
    }
}

#ifdef OSTREL_X86_DISPATCH
template <class T, class P>
[[gnu::target("avx2,popcnt")]] void tiled_rates_avx2(const Signal& signal, const Framing& framing,
                                                    std::ptrdiff_t first, std::ptrdiff_t last, double* out,
                                                    Word* words)
{
    tiled_rates_body<true, T, P>(signal, framing, first, last, out, words);
}
#endif

// The same for the baseline and, where AVX2 and a population count
// instruction are enabled, for those: the one place the choice is made.
template <class T, class P>
void tiled_rates(const Signal& signal, const Framing& framing, std::ptrdiff_t first, std::ptrdiff_t last,
                 double* out, Word* words)
{
#ifdef OSTREL_X86_DISPATCH
    if (chosen(Twins::crossing_bits, enabled(CpuFeature::avx2) && enabled(CpuFeature::popcnt))) {
        tiled_rates_avx2<T, P>(signal, framing, first, last, out, words);
        return;
    }
#endif
    tiled_rates_body<false, T, P>(signal, framing, first, last, out, words);
}

template <class T, class P>
struct FrameSweep {
    const Signal& signal;
    const Framing& framing;
    Sweep& sweep;
    std::ptrdiff_t length;  // of the padded signal

    std::ptrdiff_t start_of(std::ptrdiff_t frame) const { return frame * framing.hop; }
    // Slicing clips the frame at the end of the signal.
    std::ptrdiff_t stop_of(std::ptrdiff_t frame) const { return std::min(start_of(frame) + framing.win, length); }
    // A frame of fewer than two samples has no pairs: its count is 0.
    bool is_short(std::ptrdiff_t frame) const { return stop_of(frame) - start_of(frame) < 2; }

    void advance(std::ptrdiff_t to)
    {
        if (to > sweep.position) {
            sweep.crossings += count_padded<T, P>(signal, framing.pad, sweep.position, to);
            sweep.position = to;
        }
    }

    void run(std::ptrdiff_t first, std::ptrdiff_t last, double* out)
    {
        const double win = static_cast<double>(framing.win);
        for (std::ptrdiff_t f = first; f < last; ++f) {
            if (is_short(f)) {
                out[f] = 0.0;
                continue;
            }
            // The pairs of frame f run from its start up to stop - 1.  Every
            // start at or before that point is counted first, in order.
            const std::ptrdiff_t end = stop_of(f) - 1;
            for (; sweep.next_start < framing.frames && start_of(sweep.next_start) <= end; ++sweep.next_start) {
                if (!is_short(sweep.next_start)) {
                    advance(start_of(sweep.next_start));
                    out[sweep.next_start] = static_cast<double>(sweep.crossings);
                }
            }
            advance(end);
            out[f] = static_cast<double>(sweep.crossings - static_cast<std::ptrdiff_t>(out[f])) / win;
        }
    }
};

// Calls visit(T{}, P{}) with the element and product types.
template <class Visit>
decltype(auto) with_types(const Signal& signal, Product product, Visit&& visit)
{
    return with_element(signal.element, [&](auto type) {
        if (product == Product::float32) {
            return visit(type, float{});
        }
        return visit(type, double{});
    });
}

} // namespace

std::ptrdiff_t count_crossings(const Signal& signal, Product product, std::ptrdiff_t pad, std::ptrdiff_t first,
                               std::ptrdiff_t last)
{
    return with_types(signal, product, [&](auto type, auto product_type) {
        return count_padded<decltype(type), decltype(product_type)>(signal, pad, first, last);
    });
}

void crossing_rates(const Signal& signal, const Framing& framing, Product product, Sweep& sweep,
                    std::ptrdiff_t first, std::ptrdiff_t last, double* out)
{
    // Frames up to a tile long count their bits; longer ones are swept.
    if (framing.win <= tile_pairs) {
        // Room for the bits of a tile.
        Word words[tile_words];
        with_types(signal, product, [&](auto type, auto product_type) {
            tiled_rates<decltype(type), decltype(product_type)>(signal, framing, first, last, out, words);
        });
        return;
    }
    with_types(signal, product, [&](auto type, auto product_type) {
        FrameSweep<decltype(type), decltype(product_type)>{signal, framing, sweep, framing.pad + signal.length}
            .run(first, last, out);
    });
}

} // namespace ostrel::kernels

