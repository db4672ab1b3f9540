#include "kernels/crossings/zero_positive.hpp"

#include "kernels/crossings/bit_words.hpp"
#include "kernels/cpu/cpu_features.hpp"
#include "kernels/cpu/lanes.hpp"

#include <algorithm>
#include <cstdint>
#include <type_traits>

#ifdef OSTREL_X86_DISPATCH
#include <immintrin.h>
#endif

namespace ostrel::kernels {
namespace {

template <class T>
bool negative(T value)
{
    // NaN is simply not negative.  The ordered comparison is the cheaper
    // one; the module puts back the invalid flag it raises.
    if constexpr (std::is_signed_v<T> || std::is_floating_point_v<T>) {
        return value < T(0);
    } else {
        return false;
    }
}

// The signs of the samples are packed into words a tile at a time, and a
// pair changes sign where a sign bit differs from the next one.  Frames up
// to a tile long are counted within one tile of signs: sign bits of at most
// two tiles of samples, and a zero word past them.
constexpr std::ptrdiff_t tile_pairs = 4096;
constexpr std::ptrdiff_t tile_words = 2 * tile_pairs / word_bits + 2;

// Sign bits of 64 contiguous samples from x, sample k at bit k.
template <class T>
[[gnu::always_inline]] inline Word sign_word(const char* x)
{
    constexpr auto size = static_cast<std::ptrdiff_t>(sizeof(T));
    Word word = 0;
#ifdef OSTREL_VECTOR_LANES
    if constexpr (std::is_same_v<T, double>) {
        auto quad = [&](int k) {
            const auto at = reinterpret_cast<const double*>(x + k * size);
            return below_zero(load_lanes(at), load_lanes(at + 2));
        };
        for (int k = 0; k < word_bits; k += 16) {
            word |= Word{lane_bits(quad(k), quad(k + 4), quad(k + 8), quad(k + 12))} << k;
        }
        return word;
    } else if constexpr (std::is_same_v<T, float>) {
        auto quad = [&](int k) { return below_zero(load_lanes(reinterpret_cast<const float*>(x + k * size))); };
        for (int k = 0; k < word_bits; k += 16) {
            word |= Word{lane_bits(quad(k), quad(k + 4), quad(k + 8), quad(k + 12))} << k;
        }
        return word;
    }
#endif
    for (int k = 0; k < word_bits; ++k) {
        word |= Word{negative(load<T>(x + k * size))} << k;
    }
    return word;
}

#ifdef OSTREL_X86_DISPATCH
// The same with AVX2.  The quiet comparison raises no flag for a NaN.
[[gnu::target("avx2")]] Word sign_word_avx2(const double* x)
{
    Word word = 0;
    for (int k = 0; k < word_bits; k += 4) {
        word |= Word(_mm256_movemask_pd(_mm256_cmp_pd(_mm256_loadu_pd(x + k), _mm256_setzero_pd(), _CMP_LT_OQ))) << k;
    }
    return word;
}

[[gnu::target("avx2")]] Word sign_word_avx2(const float* x)
{
    Word word = 0;
    for (int k = 0; k < word_bits; k += 8) {
        word |= Word(_mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(x + k), _mm256_setzero_ps(), _CMP_LT_OQ))) << k;
    }
    return word;
}

// Sign words of `count` whole words of samples from x on.
template <class T>
[[gnu::target("avx2")]] void sign_words_avx2(const char* x, std::ptrdiff_t count, Word* words)
{
    for (std::ptrdiff_t w = 0; w < count; ++w) {
        words[w] = sign_word_avx2(reinterpret_cast<const T*>(x) + w * word_bits);
    }
}
#endif

// Bit k of `words`, k < count: whether sample begin + k of the signal with
// `pad` zeros in front is negative.  The other bits of the first
// count / 64 + 2 words are 0.  `with_avx2`: compiled into an AVX2 caller only.
template <bool with_avx2, class T>
[[gnu::always_inline]] inline void sign_bits(const Signal& signal, std::ptrdiff_t pad, std::ptrdiff_t begin,
                                             std::ptrdiff_t count, Word* words)
{
    std::fill(words, words + count / word_bits + 2, Word{0});
    // The padding's zeros are not negative: their bits stay 0.  Sample i of
    // the signal itself goes to bit i + shift.
    const std::ptrdiff_t shift = pad - begin;
    std::ptrdiff_t i = std::max(begin, pad) - pad;
    const std::ptrdiff_t stop = begin + count - pad;
    if (signal.stride == static_cast<std::ptrdiff_t>(sizeof(T))) {
        constexpr auto size = static_cast<std::ptrdiff_t>(sizeof(T));
        // Single samples up to a word's first bit, then whole words.
        for (; i < stop && (i + shift) % word_bits != 0; ++i) {
            put_bits(words, i + shift, negative(load<T>(signal.data + i * size)), 1);
        }
#ifdef OSTREL_X86_DISPATCH
        if constexpr (with_avx2 && std::is_floating_point_v<T>) {
            if (stop - i >= word_bits) {
                const std::ptrdiff_t whole = (stop - i) / word_bits;
                sign_words_avx2<T>(signal.data + i * size, whole, words + (i + shift) / word_bits);
                i += whole * word_bits;
            }
        }
#endif
        for (; stop - i >= word_bits; i += word_bits) {
            words[(i + shift) / word_bits] = sign_word<T>(signal.data + i * size);
        }
    }
    for (; i < stop; ++i) {
        put_bits(words, i + shift, negative(load<T>(signal.data + i * signal.stride)), 1);
    }
}

// Turns the sign bits of `count` samples into the bits of their pairs: bit
// k is set where samples k and k + 1 differ.  Word w reads word w + 1 before
// it is turned, so one forward pass does.
[[gnu::always_inline]] inline void pair_bits(Word* words, std::ptrdiff_t count)
{
    for (std::ptrdiff_t w = 0; w < (count - 1 + word_bits - 1) / word_bits; ++w) {
        words[w] ^= words[w] >> 1 | words[w + 1] << (word_bits - 1);
    }
}

// Sign changes among the pairs (j, j + 1), first <= j < last, of the signal
// with `pad` zeros in front of it, a tile at a time.
template <bool with_avx2, class T>
[[gnu::always_inline]] inline std::ptrdiff_t changes_body(const Signal& signal, std::ptrdiff_t pad,
                                                          std::ptrdiff_t first, std::ptrdiff_t last, Word* words)
{
    std::ptrdiff_t count = 0;
    for (std::ptrdiff_t begin = first; begin < last; begin += tile_pairs) {
        const std::ptrdiff_t end = std::min(begin + tile_pairs, last);
        sign_bits<with_avx2, T>(signal, pad, begin, end - begin + 1, words);
        pair_bits(words, end - begin + 1);
        count += count_bits<with_avx2>(words, 0, end - begin);
    }
    return count;
}

// Frames up to a tile long, a tile of frames at a time: the bits of every
// pair from the tile's first frame's start to its last frame's end are
// formed once, and each frame counts its own.
template <bool with_avx2, class T>
[[gnu::always_inline]] inline void tiled_rates(const Signal& signal, const Framing& framing, double* out, Word* words)
{
    const std::ptrdiff_t length = framing.pad + signal.length;
    const double win = static_cast<double>(framing.win);
    const std::ptrdiff_t tile_frames = std::max<std::ptrdiff_t>(tile_pairs / framing.hop, 1);
    for (std::ptrdiff_t f0 = 0; f0 < framing.frames; f0 += tile_frames) {
        const std::ptrdiff_t f1 = std::min(f0 + tile_frames, framing.frames);
        const std::ptrdiff_t begin = f0 * framing.hop;
        const std::ptrdiff_t end = std::min((f1 - 1) * framing.hop + framing.win, length) - 1;
        if (end > begin) {
            sign_bits<with_avx2, T>(signal, framing.pad, begin, end - begin + 1, words);
            pair_bits(words, end - begin + 1);
        }
        for (std::ptrdiff_t f = f0; f < f1; ++f) {
            // A frame is cut at the end of the signal; one of fewer than two
            // samples, or starting past the end, has no pairs.
            const std::ptrdiff_t start = f * framing.hop;
            const std::ptrdiff_t pairs_end = std::min(start + framing.win, length) - 1;
            out[f] = static_cast<double>(count_bits<with_avx2>(words, start - begin, pairs_end - begin)) / win;
        }
    }
}

// Longer frames by one forward sweep: a frame's count is the running count
// of changes at its last pair less that at its first.
template <bool with_avx2, class T>
[[gnu::always_inline]] inline void swept_rates(const Signal& signal, const Framing& framing, double* out, Word* words)
{
    const std::ptrdiff_t length = framing.pad + signal.length;
    const double win = static_cast<double>(framing.win);
    std::ptrdiff_t at = 0;
    std::ptrdiff_t running = 0;
    // The changes among the pairs below `to` (no pair starts at the last sample).
    auto running_below = [&](std::ptrdiff_t to) {
        to = std::min(to, length - 1);
        if (to > at) {
            running += changes_body<with_avx2, T>(signal, framing.pad, at, to, words);
            at = to;
        }
        return running;
    };
    auto start_of = [&](std::ptrdiff_t f) { return f * framing.hop; };
    auto stop_of = [&](std::ptrdiff_t f) {
        return std::max(start_of(f), std::min(start_of(f) + framing.win, length) - 1);
    };
    // Starts and stops both grow with f.  Until its stop is reached, out[f]
    // holds the negated count at its start (counts stay far below 2^53: the
    // double holds them exactly).
    std::ptrdiff_t closed = 0;
    auto close_below = [&](std::ptrdiff_t frames, std::ptrdiff_t position) {
        for (; closed < frames && stop_of(closed) <= position; ++closed) {
            const auto at_start = static_cast<std::ptrdiff_t>(-out[closed]);
            const bool empty = start_of(closed) >= length;
            out[closed] = empty ? 0.0 : static_cast<double>(running_below(stop_of(closed)) - at_start) / win;
        }
    };
    for (std::ptrdiff_t f = 0; f < framing.frames; ++f) {
        close_below(f, start_of(f));
        out[f] = -static_cast<double>(running_below(std::min(start_of(f), length)));
    }
    close_below(framing.frames, PTRDIFF_MAX);
}

template <bool with_avx2, class T>
[[gnu::always_inline]] inline std::ptrdiff_t count_body(const Signal& signal)
{
    Word words[tile_words];
    return changes_body<with_avx2, T>(signal, 0, 0, signal.length - 1, words);
}

template <bool with_avx2, class T>
[[gnu::always_inline]] inline void rates_body(const Signal& signal, const Framing& framing, double* out)
{
    Word words[tile_words];
    if (framing.win <= tile_pairs) {
        tiled_rates<with_avx2, T>(signal, framing, out, words);
    } else {
        swept_rates<with_avx2, T>(signal, framing, out, words);
    }
}

#ifdef OSTREL_X86_DISPATCH
// The one place the twin is chosen: AVX2 with the population count
// instruction where both are enabled, the baseline otherwise.
bool use_avx2()
{
    return enabled(CpuFeature::avx2) && enabled(CpuFeature::popcnt);
}

template <class T>
[[gnu::target("avx2,popcnt")]] std::ptrdiff_t count_avx2(const Signal& signal)
{
    return count_body<true, T>(signal);
}

template <class T>
[[gnu::target("avx2,popcnt")]] void rates_avx2(const Signal& signal, const Framing& framing, double* out)
{
    rates_body<true, T>(signal, framing, out);
}
#endif

} // namespace

std::ptrdiff_t count_sign_changes(const Signal& signal)
{
    if (signal.length < 2) {
        return 0;
    }
    return with_element(signal.element, [&](auto type) {
        using T = decltype(type);
#ifdef OSTREL_X86_DISPATCH
        if (use_avx2()) {
            return count_avx2<T>(signal);
        }
#endif
        return count_body<false, T>(signal);
    });
}

void sign_change_rates(const Signal& signal, const Framing& framing, double* out)
{
    with_element(signal.element, [&](auto type) {
        using T = decltype(type);
#ifdef OSTREL_X86_DISPATCH
        if (use_avx2()) {
            rates_avx2<T>(signal, framing, out);
            return;
        }
#endif
        rates_body<false, T>(signal, framing, out);
    });
}

} // namespace ostrel::kernels
