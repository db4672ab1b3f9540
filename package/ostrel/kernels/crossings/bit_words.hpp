// Bits of pairs or samples packed into 64-bit words, bit k of the run at bit
// k % 64 of word k / 64, and counted over any range of them.
#pragma once

#include "kernels/cpu/bit_count.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>

namespace ostrel::kernels {

using Word = std::uint64_t;
inline constexpr std::ptrdiff_t word_bits = 64;

// Sets the `count` bits of `value` from bit `at` on (they may straddle two words).
[[gnu::always_inline]] inline void put_bits(Word* words, std::ptrdiff_t at, Word value, int count)
{
    const int shift = static_cast<int>(at % word_bits);
    words[at / word_bits] |= value << shift;
    if (shift + count > word_bits) {
        words[at / word_bits + 1] |= value >> (word_bits - shift);
    }
}

// Set bits of a word: `with_popcnt` in a caller compiled for the instruction.
template <bool with_popcnt>
[[gnu::always_inline]] inline std::ptrdiff_t word_count(Word word)
{
    if constexpr (with_popcnt) {
        return std::popcount(word);
    } else {
        return bit_count(word);
    }
}

// Set bits among the bits begin <= k < end.
template <bool with_popcnt>
[[gnu::always_inline]] inline std::ptrdiff_t count_bits(const Word* words, std::ptrdiff_t begin, std::ptrdiff_t end)
{
    if (begin >= end) {
        return 0;
    }
    const std::ptrdiff_t first = begin / word_bits;
    const std::ptrdiff_t last = (end - 1) / word_bits;
    const Word head = ~Word{0} << (begin % word_bits);
    const Word tail = ~Word{0} >> (word_bits - 1 - (end - 1) % word_bits);
    if (first == last) {
        return word_count<with_popcnt>(words[first] & head & tail);
    }
    std::ptrdiff_t count = word_count<with_popcnt>(words[first] & head) + word_count<with_popcnt>(words[last] & tail);
    for (std::ptrdiff_t w = first + 1; w < last; ++w) {
        count += word_count<with_popcnt>(words[w]);
    }
    return count;
}

} // namespace ostrel::kernels
