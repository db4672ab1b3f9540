#include "padding_cast.hpp"

#include "pieces.hpp"

#include <cstdint>

namespace ostrel::kernels {
namespace {

// Signalling NaNs are the magnitudes from just above infinity up to the
// first quiet NaN: one unsigned comparison each.
constexpr std::uint32_t magnitude_bits = 0x7fffffffu;
constexpr std::uint32_t first_signalling = 0x7f800001u;
constexpr std::uint32_t signalling_count = 0x7fc00000u - first_signalling;

bool signalling(std::uint32_t bits) { return (bits & magnitude_bits) - first_signalling < signalling_count; }

// Contiguous samples go in blocks of a fixed length, which the compiler
// turns into vector code without a loop of unknown length to peel.
bool any_signalling(const Signal& signal, std::ptrdiff_t first, std::ptrdiff_t last)
{
    constexpr std::ptrdiff_t block = 16;
    std::ptrdiff_t index = first;
    if (signal.stride == sizeof(float)) {
        for (; last - index >= block; index += block) {
            const char* at = signal.data + index * signal.stride;
            std::uint32_t found = 0;
            for (std::ptrdiff_t offset = 0; offset < block; ++offset) {
                found |= signalling(load<std::uint32_t>(at + offset * sizeof(float)));
            }
            if (found != 0) {
                return true;
            }
        }
    }
    for (; index < last; ++index) {
        if (signalling(load<std::uint32_t>(signal.data + index * signal.stride))) {
            return true;
        }
    }
    return false;
}

} // namespace

void flag_padding_cast(const FrameCall& call, FloatStatus& status)
{
    const Signal& signal = call.x.signal();
    if (!call.centered || signal.element != Element::float32) {
        return;
    }
    bool found = false;
    run_in_pieces(signal.length, 1, status, [&](std::ptrdiff_t first, std::ptrdiff_t last) {
        found = found || any_signalling(signal, first, last);
    });
    if (found) {
        status.record(FE_INVALID);
    }
}

} // namespace ostrel::kernels
