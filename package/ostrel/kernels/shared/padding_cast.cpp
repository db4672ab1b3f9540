#include "kernels/shared/padding_cast.hpp"

#include "kernels/cpu/cpu_features.hpp"
#include "kernels/cpu/lanes.hpp"
#include "kernels/shared/pieces.hpp"

#include <algorithm>
#include <cfenv>
#include <cstdint>

#ifdef OSTREL_X86_DISPATCH
#include <immintrin.h>
#endif

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

// The bits of contiguous samples are compared four to a vector, two vectors a step,
// where the compiler has GCC's vector types (lanes.hpp); nothing stops
// early, since a signalling NaN is rare and a branch per step costs more.
bool any_signalling_bits(const Signal& signal, std::ptrdiff_t first, std::ptrdiff_t last)
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

#ifdef OSTREL_VECTOR_LANES
// Whether any of the contiguous samples is a NaN of either kind, eight a
// step.  An unordered comparison is quiet: it raises the invalid flag for a
// signalling NaN only, as the padding's conversion does.
bool any_nan(const float* at, std::ptrdiff_t count)
{
    typedef float Values __attribute__((vector_size(16)));
    typedef int Masks __attribute__((vector_size(16)));
    Masks any{};
    std::ptrdiff_t i = 0;
    for (; count - i >= 8; i += 8) {
        const Values low = load<Values>(reinterpret_cast<const char*>(at + i));
        const Values high = load<Values>(reinterpret_cast<const char*>(at + i + 4));
#if defined(__SSE2__)
        any |= reinterpret_cast<Masks>(_mm_cmpunord_ps(low, high));
#else
        any |= (low != low) | (high != high);
#endif
    }
    bool found = false;
    for (int lane = 0; lane < 4; ++lane) {
        found = found || any[lane] != 0;
    }
    for (; i < count; ++i) {
        found = found || at[i] != at[i];
    }
    return found;
}
#endif

#ifdef OSTREL_X86_DISPATCH
// The same search with AVX2, sixteen a step.
[[gnu::target("avx2")]] bool any_nan_avx2(const float* at, std::ptrdiff_t count)
{
    __m256 any = _mm256_setzero_ps();
    std::ptrdiff_t i = 0;
    for (; count - i >= 16; i += 16) {
        any = _mm256_or_ps(any, _mm256_cmp_ps(_mm256_loadu_ps(at + i), _mm256_loadu_ps(at + i + 8), _CMP_UNORD_Q));
    }
    bool found = _mm256_movemask_ps(any) != 0;
    for (; i < count; ++i) {
        found = found || at[i] != at[i];
    }
    return found;
}
#endif

// Contiguous samples are first searched for NaNs of either kind, a vector
// at a time where the compiler has GCC's vector types (lanes.hpp): that
// takes a third of the operations of the test of the bits, which only runs
// where NaNs are.  Nothing stops early, since a NaN is rare and a branch
// per step costs more.  Whether the search's comparisons raise the invalid
// flag for a signalling NaN is the processor's and the compiler's business:
// their flag is dropped, and the test of the bits alone decides.
bool any_signalling(const Signal& signal, std::ptrdiff_t first, std::ptrdiff_t last)
{
#ifdef OSTREL_VECTOR_LANES
    if (signal.stride == sizeof(float)) {
        const float* const at = reinterpret_cast<const float*>(signal.data) + first;
        std::fexcept_t before;
        std::fegetexceptflag(&before, FE_INVALID);
#ifdef OSTREL_X86_DISPATCH
        const bool nan = chosen(Twins::nan_search, enabled(CpuFeature::avx2)) ? any_nan_avx2(at, last - first)
                                                                              : any_nan(at, last - first);
#else
        const bool nan = any_nan(at, last - first);
#endif
        if (!nan) {
            return false;
        }
        std::fesetexceptflag(&before, FE_INVALID);
    }
#endif
    return any_signalling_bits(signal, first, last);
}

} // namespace

PaddingScan::PaddingScan(const FrameCall& call, std::ptrdiff_t shortest_read)
    : signal_(call.x.signal()),
      framing_(call.framing),
      wanted_(call.centered && signal_.element == Element::float32),
      padded_(framing_.pad + signal_.length)
{
    // Frames are full but for the last few, which shrink towards the end.
    read_frames_ = framing_.win < shortest_read || padded_ < shortest_read
                     ? 0
                     : std::min(framing_.frames, (padded_ - shortest_read) / framing_.hop + 1);
}

void PaddingScan::scan(std::ptrdiff_t from, std::ptrdiff_t to)
{
    // Padded positions [from, to): the padding itself holds zeros.
    from = std::max<std::ptrdiff_t>(from - framing_.pad, 0);
    to = std::min(to, padded_) - framing_.pad;
    found_ = found_ || (from < to && any_signalling(signal_, from, to));
}

bool PaddingScan::has_gaps() const
{
    return wanted_ && framing_.hop > framing_.win && read_frames_ > 1;
}

void PaddingScan::gaps_after(std::ptrdiff_t first, std::ptrdiff_t last)
{
    if (!has_gaps()) {
        return;
    }
    for (std::ptrdiff_t f = first; f < std::min(last, read_frames_ - 1); ++f) {
        scan(f * framing_.hop + framing_.win, (f + 1) * framing_.hop);
    }
}

void PaddingScan::finish(FloatStatus& status)
{
    if (!wanted_) {
        return;
    }
    const std::ptrdiff_t read_end = read_frames_ == 0 ? 0 : (read_frames_ - 1) * framing_.hop + framing_.win;
    run_in_pieces(std::max<std::ptrdiff_t>(padded_ - read_end, 0), 1, status,
                  [&](std::ptrdiff_t first, std::ptrdiff_t last) { scan(read_end + first, read_end + last); });
    if (found_) {
        status.record(FE_INVALID);
    }
}

void flag_padding_cast(const FrameCall& call, std::ptrdiff_t shortest_read, FloatStatus& status)
{
    PaddingScan padding(call, shortest_read);
    if (padding.has_gaps()) {
        run_in_pieces(call.framing.frames, call.framing.hop - call.framing.win, status,
                      [&](std::ptrdiff_t first, std::ptrdiff_t last) { padding.gaps_after(first, last); });
    }
    padding.finish(status);
}

} // namespace ostrel::kernels
