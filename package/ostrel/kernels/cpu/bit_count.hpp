// The set bits of a word, for code compiled for the baseline processor.
#pragma once

#include <bit>
#include <cstdint>

namespace ostrel::kernels {

[[gnu::always_inline]] inline int bit_count(std::uint64_t word)
{
#if defined(__GNUC__) && !defined(__clang__) && (defined(__x86_64__) || defined(__i386__)) && !defined(__POPCNT__)
    // Without the instruction GCC calls a library routine through the PLT;
    // these few steps, inlined, are several times faster in a counting loop.
    word -= (word >> 1) & 0x5555555555555555u;
    word = (word & 0x3333333333333333u) + ((word >> 2) & 0x3333333333333333u);
    word = (word + (word >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return static_cast<int>((word * 0x0101010101010101u) >> 56);
#else
    return std::popcount(word);
#endif
}

} // namespace ostrel::kernels
