#include "kernels/peaks/peaks.hpp"

#include "kernels/cpu/bit_count.hpp"
#include "kernels/cpu/cpu_features.hpp"
#include "kernels/cpu/lanes.hpp"
#include "kernels/cpu/ordered_retry.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>

#ifdef OSTREL_X86_DISPATCH
#include <immintrin.h>
#endif

namespace ostrel::kernels {
namespace {

using Mask = std::uint64_t;

// Comparisons that raise no flag for NaN, as numpy's comparisons raise none.
template <class T>
bool less(T left, T right)
{
    if constexpr (std::is_floating_point_v<T>) {
        return std::isless(left, right);
    } else {
        return left < right;
    }
}

// Any element type, any stride: the bits of positions begin <= i < end (at
// most one word), one position at a time.
// For a float64 or float32 signal each judge also raises `largest` to the
// largest maximum it finds (a maximum is never NaN).
template <class T>
Mask judge_each(const Signal& signal, std::ptrdiff_t begin, std::ptrdiff_t end, double& largest)
{
    const auto at = [&](std::ptrdiff_t i) { return load<T>(signal.data + i * signal.stride); };
    Mask bits = 0;
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        const T middle = at(i);
        // Both comparisons, without a branch between them.
        const unsigned maximum = unsigned{less(at(i - 1), middle)} & unsigned{less(at(i + 1), middle)};
        bits |= static_cast<Mask>(maximum) << (i - begin);
        if constexpr (std::is_floating_point_v<T>) {
            largest = maximum != 0 ? std::max(largest, static_cast<double>(middle)) : largest;
        }
    }
    return bits;
}

// float64 samples a maximum at a time: fewer operations than a vector
// comparison of every sample, as at most half the samples are maxima.  The
// scalar comparison is quiet, and a maximum is never NaN.
Mask above_doubles(const char* data, double floor, Mask maxima)
{
    const auto* x = reinterpret_cast<const double*>(data);
    Mask kept = 0;
    for (Mask set = maxima; set != 0; set &= set - 1) {
        const int k = std::countr_zero(set);
        kept |= static_cast<Mask>(std::isless(floor, x[k])) << k;
    }
    return kept;
}

#ifdef OSTREL_VECTOR_LANES
// Contiguous float64 or float32, a vector of positions at a time with the
// baseline vector unit, whose ordered comparisons raise the invalid flag for
// NaN.  `careful`: NaN lanes are replaced first (an equality test raises
// nothing): by +inf as a neighbour and by -inf as the middle, so that, as in
// numpy's comparisons, a NaN is no maximum and has none beside it.  Not
// careful, the comparisons are ordered and NaN is not looked for: the caller
// sees the invalid flag and judges the words again carefully (a NaN is rare;
// looking for one in every word cost a fifth of the judging).
// The largest maximum is followed only when `largest_wanted`.
template <class T, bool largest_wanted, bool careful>
Mask judge_lanes(const Signal& signal, std::ptrdiff_t begin, std::ptrdiff_t end, double& largest)
{
    using Values = typename Lanes<T>::Values;
    constexpr int count = Lanes<T>::count;
    const Values above = Values{} + std::numeric_limits<T>::infinity();
    const Values below = -above;
    const auto* x = reinterpret_cast<const T*>(signal.data);
    Values top = below;
    Mask bits = 0;
    std::ptrdiff_t i = begin;
    // The maxima among the lanes, and the largest of them into `top`.
    const auto maxima_of = [&](Values l, Values m, Values r) {
        // Below the middle both, as the larger neighbour is (no NaN is left).
        const auto maxima = (l < r ? r : l) < m;
        if constexpr (largest_wanted) {
            const Values candidate = maxima ? m : below;
            top = top < candidate ? candidate : top;
        }
        return maxima;
    };
    const auto judge = [&](Values l, Values m, Values r, std::ptrdiff_t shift) {
        bits |= static_cast<Mask>(lane_bits(maxima_of(l, m, r))) << shift;
    };
    // From the word's start: addresses a constant apart.
    const T* const word = x + begin;
    // float64: the pair before each pair of middles, x[at - 1] and x[at],
    // is the right-hand pair of the middles two positions back; each is
    // loaded once and kept for the next step (the first when a whole word
    // is judged: a shorter one may end before a vector's width).
    Values before{};
    // Four lanes of masks from four positions on.
    const auto four_at = [&](int at) {
        if constexpr (count == 4) {
            return maxima_of(load_lanes(word + at - 1), load_lanes(word + at), load_lanes(word + at + 1));
        } else {
            const Values between = load_lanes(word + at + 1);
            const Values after = load_lanes(word + at + 3);
            const auto low = maxima_of(before, load_lanes(word + at), between);
            const auto high = maxima_of(between, load_lanes(word + at + 2), after);
            before = after;
            return narrowed(low, high);
        }
    };
    if (!careful) {
        if (end - begin == MaximaMap::word_bits) {
            // A whole word, sixteen positions a step: their masks packed
            // into one set of bits, every shift a constant.
            if constexpr (count == 2) {
                before = load_lanes(word - 1);
            }
#pragma GCC unroll 4
            for (int k = 0; k < MaximaMap::word_bits; k += 16) {
                const auto first = four_at(k);
                const auto second = four_at(k + 4);
                const auto third = four_at(k + 8);
                const auto fourth = four_at(k + 12);
                bits |= static_cast<Mask>(lane_bits(first, second, third, fourth)) << k;
            }
            i = end;
        }
        for (; end - i >= count; i += count) {
            judge(load_lanes(x + i - 1), load_lanes(x + i), load_lanes(x + i + 1), i - begin);
        }
    } else {
        for (; end - i >= count; i += count) {
            const Values left = load_lanes(x + i - 1);
            const Values middle = load_lanes(x + i);
            const Values right = load_lanes(x + i + 1);
            judge(numbers(left) ? left : above, numbers(middle) ? middle : below, numbers(right) ? right : above,
                  i - begin);
        }
    }
    for (int k = 0; k < count; ++k) {
        largest = std::max(largest, static_cast<double>(top[k]));
    }
    return i < end ? bits | judge_each<T>(signal, i, end, largest) << (i - begin) : bits;
}

// `floor` as a float32, when it is one (a float32 signal's thresholds are),
// found without raising a flag numpy would report: float32 samples then
// compare with it exactly as they compare widened.
std::optional<float> as_float32(double floor)
{
    if (std::isinf(floor) || floor == 0.0) {
        return static_cast<float>(floor);
    }
    // Out of range, or so small that rounding could underflow: left wide.
    const double magnitude = std::fabs(floor);
    if (!(magnitude <= std::numeric_limits<float>::max() && magnitude >= std::numeric_limits<float>::min())) {
        return std::nullopt;
    }
    const float narrow = static_cast<float>(floor);
    return static_cast<double>(narrow) == floor ? std::optional<float>(narrow) : std::nullopt;
}

// float64 samples by ordered comparisons, which raise the invalid flag where
// a sample is NaN (above_doubles is then used instead): a fixed sixteen
// comparisons of two lanes, where going a maximum at a time waits on each.
Mask above_doubles_ordered(const char* data, double floor, Mask maxima)
{
    using Values = Lanes<double>::Values;
    const Values threshold = Values{} + floor;
    const auto* x = reinterpret_cast<const double*>(data);
    Mask bits = 0;
    for (int k = 0; k < 64; k += 16) {
        Lanes<float>::Masks quads[4];
        for (int q = 0; q < 4; ++q) {
            quads[q] = narrowed(threshold < load_lanes(x + k + 4 * q), threshold < load_lanes(x + k + 4 * q + 2));
        }
        bits |= static_cast<Mask>(lane_bits(quads[0], quads[1], quads[2], quads[3])) << k;
    }
    return maxima & bits;
}

// The bits of the 64 positions from `data` on whose samples are strictly
// above `floor` (not NaN).  NaN samples become -inf, never above.
template <class T>
Mask above_lanes(const char* data, T floor)
{
    using Values = typename Lanes<T>::Values;
    constexpr int count = Lanes<T>::count;
    const Values threshold = Values{} + floor;
    const Values below = Values{} - std::numeric_limits<T>::infinity();
    const auto* x = reinterpret_cast<const T*>(data);
    Mask bits = 0;
    for (int k = 0; k < 64; k += count) {
        const Values values = load_lanes(x + k);
        bits |= static_cast<Mask>(lane_bits(threshold < (numbers(values) ? values : below))) << k;
    }
    return bits;
}


// float32 samples against a float64 floor: in float32 where the floor is
// one, else widened to float64 first, exactly as the scalar comparison
// widens them.
Mask above_floats(const char* data, double floor, Mask maxima)
{
    if (const std::optional<float> narrow = as_float32(floor)) {
        return maxima & above_lanes<float>(data, *narrow);
    }
    using Values = Lanes<double>::Values;
    const Values threshold = Values{} + floor;
    const Values below = Values{} - std::numeric_limits<double>::infinity();
    const auto* x = reinterpret_cast<const float*>(data);
    Mask bits = 0;
    for (int k = 0; k < 64; k += 2) {
        typedef float Two __attribute__((vector_size(8)));
        Two raw;
        std::memcpy(&raw, x + k, sizeof raw);
        const Values wide = __builtin_convertvector(raw, Values);
        bits |= static_cast<Mask>(lane_bits(threshold < (numbers(wide) ? wide : below))) << k;
    }
    return maxima & bits;
}
#endif

#ifdef OSTREL_X86_DISPATCH
// The four positions from x on, as bits from `shift` on; the largest maximum
// so far in `top` when `largest_wanted`.
template <bool largest_wanted>
[[gnu::target("avx2"), gnu::always_inline]] inline void judge_four(const double* x, int shift, __m256d none,
                                                                  Mask& bits, __m256d& top)
{
    const __m256d middle = _mm256_loadu_pd(x);
    const __m256d counts = _mm256_and_pd(_mm256_cmp_pd(_mm256_loadu_pd(x - 1), middle, _CMP_LT_OQ),
                                         _mm256_cmp_pd(_mm256_loadu_pd(x + 1), middle, _CMP_LT_OQ));
    bits |= static_cast<Mask>(_mm256_movemask_pd(counts)) << shift;
    if constexpr (largest_wanted) {
        top = _mm256_max_pd(top, _mm256_blendv_pd(none, middle, counts));
    }
}

// Contiguous float64, four positions at a time, where the processor has AVX2:
// its quiet comparisons are false for NaN and raise nothing.
template <bool largest_wanted>
[[gnu::target("avx2")]] Mask judge_quads(const Signal& signal, std::ptrdiff_t begin, std::ptrdiff_t end,
                                         double& largest)
{
    const auto* x = reinterpret_cast<const double*>(signal.data);
    const __m256d none = _mm256_set1_pd(-__builtin_inf());
    __m256d top = none;
    Mask bits = 0;
    std::ptrdiff_t i = begin;
    if (end - begin == MaximaMap::word_bits) {
        // A whole word, unrolled: every shift a constant.
#pragma GCC unroll 16
        for (int k = 0; k < MaximaMap::word_bits; k += 4) {
            judge_four<largest_wanted>(x + begin + k, k, none, bits, top);
        }
        i = end;
    }
    for (; end - i >= 4; i += 4) {
        judge_four<largest_wanted>(x + i, static_cast<int>(i - begin), none, bits, top);
    }
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, top);
    for (const double lane : lanes) {
        largest = std::max(largest, lane);
    }
    return i < end ? bits | judge_each<double>(signal, i, end, largest) << (i - begin) : bits;
}

// Contiguous float32, eight positions at a time.
template <bool largest_wanted>
[[gnu::target("avx2")]] Mask judge_octs(const Signal& signal, std::ptrdiff_t begin, std::ptrdiff_t end,
                                        double& largest)
{
    const auto* x = reinterpret_cast<const float*>(signal.data);
    const __m256 none = _mm256_set1_ps(-__builtin_inff());
    __m256 top = none;
    Mask bits = 0;
    std::ptrdiff_t i = begin;
    for (; end - i >= 8; i += 8) {
        const __m256 middle = _mm256_loadu_ps(x + i);
        const __m256 counts = _mm256_and_ps(_mm256_cmp_ps(_mm256_loadu_ps(x + i - 1), middle, _CMP_LT_OQ),
                                            _mm256_cmp_ps(_mm256_loadu_ps(x + i + 1), middle, _CMP_LT_OQ));
        bits |= static_cast<Mask>(_mm256_movemask_ps(counts)) << (i - begin);
        if constexpr (largest_wanted) {
            top = _mm256_max_ps(top, _mm256_blendv_ps(none, middle, counts));
        }
    }
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, top);
    for (const float lane : lanes) {
        largest = std::max(largest, static_cast<double>(lane));
    }
    return i < end ? bits | judge_each<float>(signal, i, end, largest) << (i - begin) : bits;
}

// The bits of the 64 positions from x on whose samples are strictly above
// `floor`, by AVX2's quiet comparison; float32 samples are widened to float64
// first, exactly as the scalar comparison widens them, so any `floor` compares
// the same way.
[[gnu::target("avx2")]] Mask above_quads(const char* data, double floor, Mask maxima)
{
    const auto* x = reinterpret_cast<const double*>(data);
    const __m256d threshold = _mm256_set1_pd(floor);
    Mask bits = 0;
    for (int k = 0; k < 64; k += 4) {
        bits |= static_cast<Mask>(_mm256_movemask_pd(_mm256_cmp_pd(_mm256_loadu_pd(x + k), threshold, _CMP_GT_OQ))) << k;
    }
    return maxima & bits;
}

[[gnu::target("avx2")]] Mask above_octs(const char* data, double floor, Mask maxima)
{
    const auto* x = reinterpret_cast<const float*>(data);
    const __m256d threshold = _mm256_set1_pd(floor);
    Mask bits = 0;
    for (int k = 0; k < 64; k += 4) {
        const __m256d wide = _mm256_cvtps_pd(_mm_loadu_ps(x + k));
        bits |= static_cast<Mask>(_mm256_movemask_pd(_mm256_cmp_pd(wide, threshold, _CMP_GT_OQ))) << k;
    }
    return maxima & bits;
}

[[gnu::target("popcnt")]] std::ptrdiff_t count_with_popcnt(const std::uint64_t* bits, std::ptrdiff_t first,
                                                          std::ptrdiff_t last)
{
    std::ptrdiff_t count = 0;
    for (std::ptrdiff_t word = first; word < last; ++word) {
        count += __builtin_popcountll(bits[word]);
    }
    return count;
}
#endif

std::ptrdiff_t element_size(Element element)
{
    return with_element(element, [](auto type) { return static_cast<std::ptrdiff_t>(sizeof type); });
}

// The judge for one word of positions.
using Judge = Mask (*)(const Signal&, std::ptrdiff_t, std::ptrdiff_t, double&);

// A judge whose ordered comparisons raise the invalid flag where a NaN is,
// and gives wrong bits there, with the careful judge to use instead then;
// or one that is careful itself, with no second.
struct Judges {
    Judge first;
    Judge careful = nullptr;
};

template <bool largest_wanted>
Judges judge_for(const Signal& signal)
{
    const bool contiguous = signal.stride == element_size(signal.element);
    if (contiguous && signal.element == Element::float64) {
#ifdef OSTREL_X86_DISPATCH
        if (chosen(Twins::maxima_judge, enabled(CpuFeature::avx2))) {
            return {judge_quads<largest_wanted>};
        }
#endif
#ifdef OSTREL_VECTOR_LANES
        return {judge_lanes<double, largest_wanted, false>, judge_lanes<double, largest_wanted, true>};
#endif
    }
    if (contiguous && signal.element == Element::float32) {
#ifdef OSTREL_X86_DISPATCH
        if (chosen(Twins::maxima_judge, enabled(CpuFeature::avx2))) {
            return {judge_octs<largest_wanted>};
        }
#endif
#ifdef OSTREL_VECTOR_LANES
        return {judge_lanes<float, largest_wanted, false>, judge_lanes<float, largest_wanted, true>};
#endif
    }
    return {with_element(signal.element, [](auto type) -> Judge { return judge_each<decltype(type)>; })};
}

// Whole words of contiguous float64 or float32 samples at once: of their
// maxima, those above a threshold that is not NaN.
using AboveWord = Mask (*)(const char*, double, Mask);

// As Judges: one whose ordered comparisons raise the invalid flag where a
// NaN is, with the careful one to use instead then, or one careful itself.
struct AboveWords {
    AboveWord first = nullptr;
    AboveWord careful = nullptr;
};

AboveWords above_word_for(const Signal& signal, double floor)
{
    if (signal.stride != element_size(signal.element) || floor != floor) {
        return {};
    }
    const bool wide = signal.element == Element::float64;
    if (!wide && signal.element != Element::float32) {
        return {};
    }
#ifdef OSTREL_X86_DISPATCH
    if (chosen(Twins::maxima_above, enabled(CpuFeature::avx2))) {
        return {wide ? above_quads : above_octs};
    }
#endif
#ifdef OSTREL_VECTOR_LANES
    return wide ? AboveWords{above_doubles_ordered, above_doubles} : AboveWords{above_floats};
#else
    return wide ? AboveWords{above_doubles} : AboveWords{};
#endif
}

} // namespace

MaximaMap::MaximaMap(const Signal& signal, bool wants_largest)
    : signal_(signal),
      wants_largest_(wants_largest),
      words_((signal.length + word_bits - 1) / word_bits),
      bits_(std::make_unique_for_overwrite<std::uint64_t[]>(static_cast<std::size_t>(words_)))
{
    if (wants_largest && (signal.element == Element::float64 || signal.element == Element::float32)) {
        word_tops_ = std::make_unique_for_overwrite<double[]>(static_cast<std::size_t>(words_));
    }
}

void MaximaMap::judge(std::ptrdiff_t first, std::ptrdiff_t last)
{
    const Judges judges = wants_largest_ ? judge_for<true>(signal_) : judge_for<false>(signal_);
    // The first and last positions never count: they lack a neighbour.
    const auto judge_words = [&](Judge judge_word, std::ptrdiff_t from, std::ptrdiff_t to) {
        double largest = -std::numeric_limits<double>::infinity();
        for (std::ptrdiff_t word = from; word < to; ++word) {
            const std::ptrdiff_t begin = std::max<std::ptrdiff_t>(word * word_bits, 1);
            const std::ptrdiff_t end = std::min((word + 1) * word_bits, signal_.length - 1);
            double top = -std::numeric_limits<double>::infinity();
            bits_[word] = begin < end ? judge_word(signal_, begin, end, top) << (begin - word * word_bits) : 0;
            largest = std::max(largest, top);
            if (word_tops_) {
                word_tops_[word] = top;
            }
        }
        return largest;
    };
    if (!judges.careful) {
        largest_ = std::max(largest_, judge_words(judges.first, first, last));
        return;
    }
    constexpr std::ptrdiff_t run_words = 64;
    for (std::ptrdiff_t from = first; from < last; from += run_words) {
        const std::ptrdiff_t to = std::min(from + run_words, last);
        double largest = -std::numeric_limits<double>::infinity();
        ordered_else_careful([&] { largest = judge_words(judges.first, from, to); },
                             [&] { largest = judge_words(judges.careful, from, to); });
        largest_ = std::max(largest_, largest);
    }
}

double MaximaMap::value_at(std::ptrdiff_t position) const
{
    return with_element(signal_.element, [&](auto type) {
        return static_cast<double>(load<decltype(type)>(signal_.data + position * signal_.stride));
    });
}

// Calls each(position) for every set bit of the words first <= w < last.
template <class Each>
void each_maximum(const std::uint64_t* bits, std::ptrdiff_t first, std::ptrdiff_t last, Each&& each)
{
    for (std::ptrdiff_t word = first; word < last; ++word) {
        for (Mask set = bits[word]; set != 0; set &= set - 1) {
            each(word * MaximaMap::word_bits + std::countr_zero(set));
        }
    }
}

std::ptrdiff_t MaximaMap::count(std::ptrdiff_t first, std::ptrdiff_t last) const
{
#ifdef OSTREL_X86_DISPATCH
    if (chosen(Twins::maxima_count, enabled(CpuFeature::popcnt))) {
        return count_with_popcnt(bits_.get(), first, last);
    }
#endif
    std::ptrdiff_t count = 0;
    for (std::ptrdiff_t word = first; word < last; ++word) {
        count += bit_count(bits_[word]);
    }
    return count;
}

void MaximaMap::keep_above(std::ptrdiff_t first, std::ptrdiff_t last, double floor)
{
    if (const AboveWords above = above_word_for(signal_, floor); above.first) {
        // Up to the signal's last whole word, a run of words at a time into
        // `kept`, then into the map: judged again, a run reads the map's
        // bits as they were.
        const std::ptrdiff_t whole = std::min(last, signal_.length / word_bits);
        constexpr std::ptrdiff_t run_words = 64;
        Mask kept[run_words];
        while (first < whole) {
            const std::ptrdiff_t run = std::min(run_words, whole - first);
            const auto keep_run = [&](AboveWord above_word) {
                for (std::ptrdiff_t k = 0; k < run; ++k) {
                    const std::ptrdiff_t word = first + k;
                    // A word whose largest maximum is not above the floor
                    // keeps none (with a floor near the largest, most
                    // words), unread.
                    const bool none = bits_[word] == 0 || (word_tops_ && !std::isless(floor, word_tops_[word]));
                    kept[k] = none ? 0 : above_word(signal_.data + word * word_bits * signal_.stride, floor, bits_[word]);
                }
            };
            if (above.careful) {
                ordered_else_careful([&] { keep_run(above.first); }, [&] { keep_run(above.careful); });
            } else {
                keep_run(above.first);
            }
            std::copy(kept, kept + run, bits_.get() + first);
            first += run;
        }
    }
    for (std::ptrdiff_t word = first; word < last; ++word) {
        Mask kept = 0;
        each_maximum(bits_.get(), word, word + 1, [&](std::ptrdiff_t position) {
            kept |= static_cast<Mask>(std::isless(floor, value_at(position))) << (position - word * word_bits);
        });
        bits_[word] = kept;
    }
}

std::ptrdiff_t MaximaMap::gather(char* out) const
{
    return with_element(signal_.element, [&](auto type) {
        using T = decltype(type);
        std::ptrdiff_t next = 0;
        std::ptrdiff_t top = 0;
        each_maximum(bits_.get(), 0, words_, [&](std::ptrdiff_t position) {
            const T value = load<T>(signal_.data + position * signal_.stride);
            std::memcpy(out + next * static_cast<std::ptrdiff_t>(sizeof(T)), &value, sizeof value);
            if (less(load<T>(out + top * static_cast<std::ptrdiff_t>(sizeof(T))), value)) {
                top = next;
            }
            ++next;
        });
        return top;
    });
}

void MaximaMap::keep_where(const char* keep, std::ptrdiff_t stride)
{
    std::ptrdiff_t k = 0;
    for (std::ptrdiff_t word = 0; word < words_; ++word) {
        Mask kept = 0;
        each_maximum(bits_.get(), word, word + 1, [&](std::ptrdiff_t position) {
            kept |= static_cast<Mask>(keep[k++ * stride] != 0) << (position - word * word_bits);
        });
        bits_[word] = kept;
    }
}

namespace {

// The positions of the words first <= w < last while `room` has space for a
// whole word's beyond `out`: eight positions a step, written whether the word
// has that many maxima or not, so that no branch depends on each bit; the
// next word's positions overwrite the extra ones.  The top bit, always set
// for the count of trailing zeros, keeps it from a word of none, which costs
// the baseline processor a branch.  Returns the end, and moves `first` past the words done.
[[gnu::always_inline]] inline std::ptrdiff_t* write_by_eights(const std::uint64_t* bits, std::ptrdiff_t& first,
                                                              std::ptrdiff_t last, std::ptrdiff_t* out,
                                                              const std::ptrdiff_t* room, int (*counted)(Mask))
{
    // A local word index: `first` might share memory with `out` for all the
    // compiler knows, and would be stored at every step.
    std::ptrdiff_t word = first;
    for (; word < last && room - out >= MaximaMap::word_bits; ++word) {
        Mask set = bits[word];
        // Tested on the bits, not the count: a sparse map's branch then
        // waits for nothing (the baseline's count takes a dozen steps).
        if (set == 0) {
            continue;
        }
        const std::ptrdiff_t base = word * MaximaMap::word_bits;
        const int count = counted(set);
        for (int done = 0; done < count; done += 8) {
            for (int k = 0; k < 8; ++k) {
                out[done + k] = base + std::countr_zero(set | Mask{1} << 63);
                set &= set - 1;
            }
        }
        out += count;
    }
    first = word;
    return out;
}

int counted_baseline(Mask set)
{
    return bit_count(set);
}

#ifdef OSTREL_X86_DISPATCH
[[gnu::target("popcnt")]] int counted_popcnt(Mask set)
{
    return __builtin_popcountll(set);
}

[[gnu::target("popcnt")]] std::ptrdiff_t* write_with_popcnt(const std::uint64_t* bits, std::ptrdiff_t& first,
                                                            std::ptrdiff_t last, std::ptrdiff_t* out,
                                                            const std::ptrdiff_t* room)
{
    return write_by_eights(bits, first, last, out, room, counted_popcnt);
}
#endif

#ifdef OSTREL_X86_DISPATCH
// For each byte of bits, the places of its set bits, lowest first, one a
// byte from the lowest byte on.
constexpr std::array<std::uint64_t, 256> byte_places = [] {
    std::array<std::uint64_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        int count = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            if ((byte >> bit & 1u) != 0) {
                table[byte] |= std::uint64_t{bit} << (8 * count++);
            }
        }
    }
    return table;
}();

// The same with AVX2, a byte of bits at a time: its places from the table,
// widened to eight positions and stored whatever its count, the next byte's
// positions overwriting the extra ones.  Nothing waits on the bit before, as
// clearing the lowest set bit one at a time does.
[[gnu::target("avx2,popcnt")]] std::ptrdiff_t* write_with_avx2(const std::uint64_t* bits, std::ptrdiff_t& first,
                                                              std::ptrdiff_t last, std::ptrdiff_t* out,
                                                              const std::ptrdiff_t* room)
{
    for (; first < last && room - out >= MaximaMap::word_bits; ++first) {
        const Mask set = bits[first];
        __m256i at = _mm256_set1_epi64x(first * MaximaMap::word_bits);
        const __m256i byte_step = _mm256_set1_epi64x(8);
#pragma GCC unroll 8
        for (int byte = 0; byte < 8; ++byte) {
            const unsigned value = static_cast<unsigned>(set >> (8 * byte)) & 0xffu;
            const __m128i places = _mm_cvtsi64_si128(static_cast<long long>(byte_places[value]));
            const __m256i low = _mm256_add_epi64(_mm256_cvtepu8_epi64(places), at);
            const __m256i high = _mm256_add_epi64(_mm256_cvtepu8_epi64(_mm_srli_si128(places, 4)), at);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), low);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4), high);
            out += __builtin_popcount(value);
            at = _mm256_add_epi64(at, byte_step);
        }
    }
    return out;
}
#endif

std::ptrdiff_t* write_baseline(const std::uint64_t* bits, std::ptrdiff_t& first, std::ptrdiff_t last,
                               std::ptrdiff_t* out, const std::ptrdiff_t* room)
{
    return write_by_eights(bits, first, last, out, room, counted_baseline);
}

// Two maxima never neighbour, so a byte of bits holds at most four: for
// each byte without neighbouring bits, the places of its set bits, lowest
// first, and their count.
struct BytePlaces {
    std::ptrdiff_t place[4];
};

constexpr std::array<BytePlaces, 256> four_places = [] {
    std::array<BytePlaces, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        int count = 0;
        for (unsigned bit = 0; bit < 8 && count < 4; ++bit) {
            if ((byte >> bit & 1u) != 0) {
                table[byte].place[count++] = bit;
            }
        }
    }
    return table;
}();

constexpr std::array<unsigned char, 256> byte_counts = [] {
    std::array<unsigned char, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        table[byte] = static_cast<unsigned char>(std::popcount(byte));
    }
    return table;
}();

// The baseline's twin of write_with_avx2, in plain C++ the compiler turns
// into vector adds and stores: a byte of bits at a time, its four places
// from the table stored whatever its count, the next byte's overwriting the
// extra ones.  Nothing waits on the bit before, as clearing the lowest set
// bit one at a time does.  A word with neighbouring bits (the samples
// changed while they were judged) goes a maximum at a time.
std::ptrdiff_t* write_by_bytes(const std::uint64_t* bits, std::ptrdiff_t& first, std::ptrdiff_t last,
                               std::ptrdiff_t* out, const std::ptrdiff_t* room)
{
    // A local word index, as in write_by_eights.
    std::ptrdiff_t word = first;
    for (; word < last && room - out >= MaximaMap::word_bits; ++word) {
        const Mask set = bits[word];
        if ((set & set >> 1) != 0) {
            std::ptrdiff_t one = word;
            out = write_baseline(bits, one, word + 1, out, room);
            continue;
        }
        const std::ptrdiff_t base = word * MaximaMap::word_bits;
#pragma GCC unroll 8
        for (int byte = 0; byte < 8; ++byte) {
            const unsigned value = static_cast<unsigned>(set >> (8 * byte)) & 0xffu;
            for (int k = 0; k < 4; ++k) {
                out[k] = base + 8 * byte + four_places[value].place[k];
            }
            out += byte_counts[value];
        }
    }
    first = word;
    return out;
}

} // namespace

std::ptrdiff_t* MaximaMap::write(std::ptrdiff_t first, std::ptrdiff_t last, std::ptrdiff_t* out,
                                 std::ptrdiff_t* room) const
{
#ifdef OSTREL_X86_DISPATCH
    // The table's fixed eight stores a byte pay where words hold many maxima
    // (a third of the positions of noise); a sparse map, as a threshold
    // leaves, goes a maximum at a time.
    const bool dense = last > first && (room - out) / (last - first) >= 8;
    const bool popcnt = chosen(Twins::maxima_write, enabled(CpuFeature::popcnt));
    if (dense && popcnt && enabled(CpuFeature::avx2)) {
        out = write_with_avx2(bits_.get(), first, last, out, room);
    } else if (popcnt) {
        out = write_with_popcnt(bits_.get(), first, last, out, room);
    } else {
        out = dense ? write_by_bytes(bits_.get(), first, last, out, room)
                    : write_baseline(bits_.get(), first, last, out, room);
    }
#else
    const bool dense = last > first && (room - out) / (last - first) >= 8;
    out = dense ? write_by_bytes(bits_.get(), first, last, out, room)
                : write_baseline(bits_.get(), first, last, out, room);
#endif
    // The last words, a position at a time.
    each_maximum(bits_.get(), first, last, [&](std::ptrdiff_t position) {
        if (out < room) {
            *out++ = position;
        }
    });
    return out;
}

} // namespace ostrel::kernels
