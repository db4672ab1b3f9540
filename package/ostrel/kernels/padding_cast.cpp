#include "padding_cast.hpp"

#include "lanes.hpp"
#include "pieces.hpp"

#include <algorithm>
#include <cstdint>

namespace ostrel::kernels {
namespace {

// Signalling NaNs are the magnitudes from just above infinity up to the
// first quiet NaN.  Adding `carry` to a magnitude takes them, and them
// alone, to the lowest signed values: one signed comparison picks them out.
constexpr std::uint32_t magnitude_bits = 0x7fffffffu;
constexpr std::uint32_t first_signalling = 0x7f800001u;
constexpr std::uint32_t first_quiet = 0x7fc00000u;
constexpr std::uint32_t carry = 0x80000000u - first_signalling;
constexpr std::int32_t first_quiet_carried = static_cast<std::int32_t>(first_quiet + carry);

bool signalling(std::uint32_t bits)
{
    return static_cast<std::int32_t>((bits & magnitude_bits) + carry) < first_quiet_carried;
}

// Contiguous samples are compared four to a vector, two vectors a step,
// where the compiler has GCC's vector types (lanes.hpp); nothing stops
// early, since a signalling NaN is rare and a branch per step costs more.
bool any_signalling(const Signal& signal, std::ptrdiff_t first, std::ptrdiff_t last)
{
    bool found = false;
    std::ptrdiff_t index = first;
#ifdef OSTREL_VECTOR_LANES
    typedef std::uint32_t Words __attribute__((vector_size(16)));
    typedef std::int32_t SignedWords __attribute__((vector_size(16)));
    constexpr std::ptrdiff_t lanes = sizeof(Words) / sizeof(std::uint32_t);
    const auto flagged = [](const char* at) {
        const Words carried = (load<Words>(at) & magnitude_bits) + carry;
        return reinterpret_cast<SignedWords>(carried) < first_quiet_carried;
    };
    if (signal.stride == sizeof(float)) {
        SignedWords any{};
        for (; last - index >= 2 * lanes; index += 2 * lanes) {
            const char* at = signal.data + index * signal.stride;
            any |= flagged(at) | flagged(at + sizeof(Words));
        }
        for (std::ptrdiff_t lane = 0; lane < lanes; ++lane) {
            found = found || any[lane] != 0;
        }
    }
#endif
    for (; index < last; ++index) {
        found = found || signalling(load<std::uint32_t>(signal.data + index * signal.stride));
    }
    return found;
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
