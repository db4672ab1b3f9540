#include "padding_cast.hpp"

#include "pieces.hpp"

#include <algorithm>
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

void flag_padding_cast(const FrameCall& call, std::ptrdiff_t shortest_read, FloatStatus& status)
{
    const Signal& signal = call.x.signal();
    if (!call.centered || signal.element != Element::float32) {
        return;
    }
    const Framing& framing = call.framing;
    const std::ptrdiff_t padded = framing.pad + signal.length;
    // Frames are full but for the last few, which shrink towards the end.
    const std::ptrdiff_t read_frames = framing.win < shortest_read || padded < shortest_read
                                           ? 0
                                           : std::min(framing.frames, (padded - shortest_read) / framing.hop + 1);
    bool found = false;
    // Padded positions [from, to): the padding itself holds zeros.
    const auto scan = [&](std::ptrdiff_t from, std::ptrdiff_t to) {
        from = std::max<std::ptrdiff_t>(from - framing.pad, 0);
        to = std::min(to, padded) - framing.pad;
        found = found || (from < to && any_signalling(signal, from, to));
    };
    // A hop longer than the window leaves gaps between frames.
    if (framing.hop > framing.win && read_frames > 1) {
        run_in_pieces(read_frames - 1, framing.hop - framing.win, status, [&](std::ptrdiff_t first, std::ptrdiff_t last) {
            for (std::ptrdiff_t f = first; f < last; ++f) {
                scan(f * framing.hop + framing.win, (f + 1) * framing.hop);
            }
        });
    }
    const std::ptrdiff_t read_end = read_frames == 0 ? 0 : (read_frames - 1) * framing.hop + framing.win;
    run_in_pieces(std::max<std::ptrdiff_t>(padded - read_end, 0), 1, status,
                  [&](std::ptrdiff_t first, std::ptrdiff_t last) { scan(read_end + first, read_end + last); });
    if (found) {
        status.record(FE_INVALID);
    }
}

} // namespace ostrel::kernels
