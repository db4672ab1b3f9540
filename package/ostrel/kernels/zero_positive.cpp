#include "zero_positive.hpp"

#include "cpu_features.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>

namespace ostrel::kernels {
namespace {

template <class T>
bool negative(T value)
{
    // NaN is simply not negative.  The ordered comparison vectorises where a
    // quiet one does not; the module puts back the invalid flag it raises.
    if constexpr (std::is_floating_point_v<T>) {
        return value < T(0);
    } else if constexpr (std::is_signed_v<T>) {
        return value < 0;
    } else {
        return false;
    }
}

template <class T>
[[gnu::always_inline]] inline std::ptrdiff_t contiguous_changes(const T* values, std::ptrdiff_t first, std::ptrdiff_t last)
{
    std::ptrdiff_t count = 0;
    for (std::ptrdiff_t i = first; i < last; ++i) {
        count += negative(values[i]) != negative(values[i + 1]);
    }
    return count;
}

#ifdef OSTREL_X86_DISPATCH
// The same loop, vectorised four doubles or eight floats at a time.
template <class T>
[[gnu::target("avx2")]] std::ptrdiff_t contiguous_changes_avx2(const T* values, std::ptrdiff_t first, std::ptrdiff_t last)
{
    return contiguous_changes(values, first, last);
}
#endif

// Sign changes among the pairs (i, i + 1), first <= i < last, of the signal
// itself.  The contiguous loop is written so that the compiler vectorises it.
template <class T>
std::ptrdiff_t changes(const Signal& signal, std::ptrdiff_t first, std::ptrdiff_t last)
{
    if (signal.stride == static_cast<std::ptrdiff_t>(sizeof(T)) && reinterpret_cast<std::uintptr_t>(signal.data) % alignof(T) == 0) {
        const T* values = reinterpret_cast<const T*>(signal.data);
#ifdef OSTREL_X86_DISPATCH
        if (enabled(CpuFeature::avx2)) {
            return contiguous_changes_avx2(values, first, last);
        }
#endif
        return contiguous_changes(values, first, last);
    }
    std::ptrdiff_t count = 0;
    for (std::ptrdiff_t i = first; i < last; ++i) {
        count += negative(load<T>(signal.data + i * signal.stride)) != negative(load<T>(signal.data + (i + 1) * signal.stride));
    }
    return count;
}

// Running count of sign changes over the padded signal, moved forward only.
template <class T>
class Sweep {
public:
    Sweep(const Signal& signal, std::ptrdiff_t pad) : signal_(signal), pad_(pad) {}

    // The sign changes among the pairs (j, j + 1) of the padded signal, j < to.
    std::ptrdiff_t count_below(std::ptrdiff_t to)
    {
        // No pair starts at the last sample.
        to = std::min(to, pad_ + signal_.length - 1);
        if (to <= at_) {
            return count_;
        }
        // The padding is zeros: its only possible change is into the first sample.
        if (at_ < pad_ && to >= pad_ && pad_ > 0 && signal_.length > 0) {
            count_ += negative(load<T>(signal_.data));
        }
        const std::ptrdiff_t first = std::max(at_, pad_) - pad_;
        const std::ptrdiff_t last = to - pad_;
        if (last > first) {
            count_ += changes<T>(signal_, first, last);
        }
        at_ = to;
        return count_;
    }

private:
    const Signal& signal_;
    std::ptrdiff_t pad_;
    std::ptrdiff_t at_ = 0;
    std::ptrdiff_t count_ = 0;
};

template <class T>
void rates(const Signal& signal, const Framing& framing, double* out)
{
    const std::ptrdiff_t length = framing.pad + signal.length;
    const double win = static_cast<double>(framing.win);
    auto start_of = [&](std::ptrdiff_t f) { return f * framing.hop; };
    // The position below the frame's last pair: frame f holds the pairs j
    // with start <= j < stop.
    auto stop_of = [&](std::ptrdiff_t f) {
        return std::max(start_of(f), std::min(start_of(f) + framing.win, length) - 1);
    };
    // Starts and stops both grow with f, so one forward sweep serves every
    // frame: a frame's count is the running count at its stop less that at
    // its start.  Until its stop is reached, out[f] holds the negated count
    // at its start (counts stay far below 2^53: the double holds them exactly).
    Sweep<T> sweep(signal, framing.pad);
    std::ptrdiff_t closed = 0;
    auto close_below = [&](std::ptrdiff_t frames, std::ptrdiff_t position) {
        for (; closed < frames && stop_of(closed) <= position; ++closed) {
            const std::ptrdiff_t at_start = static_cast<std::ptrdiff_t>(-out[closed]);
            out[closed] = start_of(closed) >= length ? 0.0 : static_cast<double>(sweep.count_below(stop_of(closed)) - at_start) / win;
        }
    };
    for (std::ptrdiff_t f = 0; f < framing.frames; ++f) {
        close_below(f, start_of(f));
        out[f] = -static_cast<double>(sweep.count_below(std::min(start_of(f), length)));
    }
    close_below(framing.frames, PTRDIFF_MAX);
}

} // namespace

std::ptrdiff_t count_sign_changes(const Signal& signal)
{
    if (signal.length < 2) {
        return 0;
    }
    return with_element(signal.element, [&](auto type) { return changes<decltype(type)>(signal, 0, signal.length - 1); });
}

void sign_change_rates(const Signal& signal, const Framing& framing, double* out)
{
    with_element(signal.element, [&](auto type) { rates<decltype(type)>(signal, framing, out); });
}

} // namespace ostrel::kernels
