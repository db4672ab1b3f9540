// PCM WAV samples to float64 in one pass: the values of the numpy steps
// they replace (integers widened, divided by full scale, channels summed
// left to right and divided by their number), without their temporaries.
// Where the arithmetic differs from those steps, a comment says why the
// values cannot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace ostrel::pcm {

// One little-endian sample as the integer WAV means: 8-bit is unsigned
// around 128, wider widths are two's complement.  Assembled from bytes so
// that the host's byte order does not matter.
template <int Width>
inline std::int32_t sample_at(const unsigned char* bytes)
{
    if constexpr (Width == 1) {
        return std::int32_t{bytes[0]} - 128;
    } else if constexpr (Width == 2) {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8));
    } else if constexpr (Width == 3) {
        const std::int32_t value = bytes[0] | bytes[1] << 8 | bytes[2] << 16;
        return value >= 1 << 23 ? value - (1 << 24) : value;
    } else {
        return static_cast<std::int32_t>(
            std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16
            | std::uint32_t{bytes[3]} << 24);
    }
}

// 2 ** (bits - 1): a power of two, so dividing by it and multiplying by
// its reciprocal give the same, exact, result.
template <int Width>
inline constexpr double full_scale = static_cast<double>(std::uint64_t{1} << (8 * Width - 1));

// Every channel of each frame, interleaved as in the file.
template <int Width>
void decode_each(const unsigned char* raw, std::size_t samples, double* out)
{
    constexpr double scale = 1.0 / full_scale<Width>;
    for (std::size_t i = 0; i < samples; ++i) {
        out[i] = static_cast<double>(sample_at<Width>(raw + i * Width)) * scale;
    }
}

// Integers wide enough for the sum of a frame's channels: 65,535 channels
// of 16 bits still fit 32.
template <int Width>
using ChannelSum = std::conditional_t<Width <= 2, std::int32_t, std::int64_t>;

// The mean of each frame's channels, equal to numpy's mix: the first
// channel scaled, plus each further one scaled, then divided by the count.
// Every step there but the last is exact (the scaled samples are multiples
// of 1 / full scale, and their sum needs at most 48 significant bits), so it
// equals the integer sum scaled, rounded once by the division.  Fixed is the
// channel count when known at compile time (0: given at run time).
template <int Width, std::size_t Fixed>
void decode_mixed(const unsigned char* raw, std::size_t frames, std::size_t given_channels, double* out)
{
    const std::size_t channels = Fixed != 0 ? Fixed : given_channels;
    // Exact: a power of two times a count below 2 ** 16.
    const double divisor = full_scale<Width> * static_cast<double>(channels);
    for (std::size_t frame = 0; frame < frames; ++frame) {
        const unsigned char* first = raw + frame * channels * Width;
        ChannelSum<Width> sum = 0;
        for (std::size_t channel = 0; channel < channels; ++channel) {
            sum += sample_at<Width>(first + channel * Width);
        }
        if constexpr (Fixed == 1 || Fixed == 2) {
            // The divisor is a power of two: its reciprocal is exact.
            out[frame] = static_cast<double>(sum) * (1.0 / (full_scale<Width> * Fixed));
        } else {
            out[frame] = static_cast<double>(sum) / divisor;
        }
    }
}

template <int Width>
void decode_width(const unsigned char* raw, std::size_t frames, std::size_t channels, bool mix, double* out)
{
    if (!mix) {
        decode_each<Width>(raw, frames * channels, out);
    } else if (channels == 1) {
        decode_mixed<Width, 1>(raw, frames, channels, out);
    } else if (channels == 2) {
        decode_mixed<Width, 2>(raw, frames, channels, out);
    } else {
        decode_mixed<Width, 0>(raw, frames, channels, out);
    }
}

// Width in bytes, 1 to 4 (the caller has checked it).
inline void decode(const unsigned char* raw, std::size_t frames, int width, std::size_t channels, bool mix, double* out)
{
    switch (width) {
    case 1:
        decode_width<1>(raw, frames, channels, mix, out);
        break;
    case 2:
        decode_width<2>(raw, frames, channels, mix, out);
        break;
    case 3:
        decode_width<3>(raw, frames, channels, mix, out);
        break;
    default:
        decode_width<4>(raw, frames, channels, mix, out);
        break;
    }
}

} // namespace ostrel::pcm
