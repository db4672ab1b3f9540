#include "kernels/segments/measures.hpp"

#include "kernels/crossings/zero_positive.hpp"
#include "kernels/cpu/cpu_features.hpp"
#include "kernels/cpu/lanes.hpp"
#include "kernels/shared/signal.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace ostrel::kernels {
namespace {

// Python's floor division: the low band's blocks lie on a grid from the
// first sample, and a window may start before it.
std::ptrdiff_t floor_div(std::ptrdiff_t a, std::ptrdiff_t b)
{
    const std::ptrdiff_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// 1 for NaN and the infinities (every exponent bit set), else 0: integer
// operations the baseline's vector unit has, where a comparison of doubles
// would keep the loop scalar (it may trap).
inline std::uint64_t heard_as_silence(std::uint64_t bits)
{
    return ((bits & 0x7FF0000000000000ULL) + 0x0010000000000000ULL) >> 63;
}

// numpy's pairwise sum of squares, for the signal's frame and its
// difference's at once: each in its own order (below 8 values in turn; up
// to a block of 128, eight interleaved partial sums; above, the halves cut
// at a multiple of 8), one pass over both.
constexpr std::ptrdiff_t lanes = 8;
constexpr std::ptrdiff_t pairwise_block = 128;

struct TwoSums {
    double signal;
    double difference;
};

#ifdef OSTREL_VECTOR_LANES
// numpy's eight partial sums in vectors of `bytes`: 16 for the baseline, 32 for AVX2.
template <int bytes>
struct Partials {
    typedef double Vector __attribute__((vector_size(bytes)));
    static constexpr int per_vector = bytes / static_cast<int>(sizeof(double));
    static constexpr int vectors = lanes / per_vector;
    Vector v[vectors];

    [[gnu::always_inline]] void start(const double* at)
    {
        for (int k = 0; k < vectors; ++k) {
            std::memcpy(&v[k], at + k * per_vector, sizeof v[k]);
            v[k] = v[k] * v[k];
        }
    }
    [[gnu::always_inline]] void add(const double* at)
    {
        for (int k = 0; k < vectors; ++k) {
            Vector value;
            std::memcpy(&value, at + k * per_vector, sizeof value);
            v[k] += value * value;
        }
    }
    [[gnu::always_inline]] double lane(int j) const { return v[j / per_vector][j % per_vector]; }
#else
// The same sums in plain arrays, for compilers without vector types.
template <int bytes>
struct Partials {
    double all[lanes];

    void start(const double* at)
    {
        for (int j = 0; j < lanes; ++j) {
            all[j] = at[j] * at[j];
        }
    }
    void add(const double* at)
    {
        for (int j = 0; j < lanes; ++j) {
            all[j] += at[j] * at[j];
        }
    }
    double lane(int j) const { return all[j]; }
#endif
    [[gnu::always_inline]] double total() const
    {
        return ((lane(0) + lane(1)) + (lane(2) + lane(3))) + ((lane(4) + lane(5)) + (lane(6) + lane(7)));
    }
};

template <int bytes>
[[gnu::always_inline]] inline TwoSums block_squares(const double* x, const double* d, std::ptrdiff_t n)
{
    if (n < lanes) {
        TwoSums total{-0.0, -0.0};
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            total.signal += x[i] * x[i];
            total.difference += d[i] * d[i];
        }
        return total;
    }
    Partials<bytes> px, pd;
    px.start(x);
    pd.start(d);
    std::ptrdiff_t i = lanes;
    for (; i < n - n % lanes; i += lanes) {
        px.add(x + i);
        pd.add(d + i);
    }
    TwoSums total{px.total(), pd.total()};
    for (; i < n; ++i) {
        total.signal += x[i] * x[i];
        total.difference += d[i] * d[i];
    }
    return total;
}

using BlockSquares = TwoSums (*)(const double*, const double*, std::ptrdiff_t);

TwoSums block_squares_baseline(const double* x, const double* d, std::ptrdiff_t n)
{
    return block_squares<16>(x, d, n);
}

#ifdef OSTREL_X86_DISPATCH
// The same additions, four lanes a vector.
[[gnu::target("avx2")]] TwoSums block_squares_avx2(const double* x, const double* d, std::ptrdiff_t n)
{
    return block_squares<32>(x, d, n);
}
#endif

TwoSums pairwise_squares(const double* x, const double* d, std::ptrdiff_t n, BlockSquares block)
{
    if (n <= pairwise_block) {
        return block(x, d, n);
    }
    const std::ptrdiff_t half = n / 2 - n / 2 % lanes;
    const TwoSums left = pairwise_squares(x, d, half, block);
    const TwoSums right = pairwise_squares(x + half, d + half, n - half, block);
    return {left.signal + right.signal, left.difference + right.difference};
}

// Frame f of `frames` starts f * hop values into x and d, which hold
// `length` values; a frame is clipped at their end, as slicing clips it.
// Its energies, sum / win, go to out[f * columns] and the next value.
struct EnergyFrames {
    const double* x;
    const double* d;
    std::ptrdiff_t length, win, hop, frames, columns;
    double* out;
};

void frame_energies(const EnergyFrames& job)
{
    BlockSquares block = block_squares_baseline;
#ifdef OSTREL_X86_DISPATCH
    if (chosen(Twins::block_sums, enabled(CpuFeature::avx2))) {
        block = block_squares_avx2;
    }
#endif
    const double win = static_cast<double>(job.win);
    for (std::ptrdiff_t f = 0; f < job.frames; ++f) {
        const std::ptrdiff_t start = f * job.hop;
        const std::ptrdiff_t count = std::clamp<std::ptrdiff_t>(job.length - start, 0, job.win);
        // The reduction's identity 0 comes first: an empty frame sums to 0.
        TwoSums total{0.0, 0.0};
        if (count > 0) {
            const TwoSums sums = pairwise_squares(job.x + start, job.d + start, count, block);
            total.signal += sums.signal;
            total.difference += sums.difference;
        }
        job.out[f * job.columns] = total.signal / win;
        job.out[f * job.columns + 1] = total.difference / win;
    }
}

// Blocks interleaved in the low band's sums: each block's additions stay
// in order, several blocks' overlap in time.
constexpr std::ptrdiff_t interleaved_blocks = 8;

} // namespace

// Pieces are taken this many samples at a time, so that a part's samples,
// differences and frames stay in the processor's caches between passes.
constexpr std::ptrdiff_t part_samples = 4096;
// Parts the buffers hold besides a window: what the frames still need is
// moved to the front once every so many parts, not after each.
constexpr std::ptrdiff_t parts_held = 4;

SegmentMeasures::SegmentMeasures(const SegmentFrames& frames)
    : frames_(frames), pad_(frames.win / 2), room_(frames.win + parts_held * part_samples),
      samples_(new double[static_cast<std::size_t>(room_)]), differences_(new double[static_cast<std::size_t>(room_)]),
      scratch_(new double[static_cast<std::size_t>(part_samples)])
{
    // The centred frames' zeros in front of the signal, and of its difference.
    std::fill(samples_.get(), samples_.get() + pad_, 0.0);
    std::fill(differences_.get(), differences_.get() + pad_, 0.0);
    held_ = pad_;
}

bool SegmentMeasures::feed(const char* samples, std::ptrdiff_t count, std::ptrdiff_t stride)
{
    bool all_finite = true;
    for (std::ptrdiff_t start = 0; start < count; start += part_samples) {
        all_finite &= feed_part(samples + start * stride, std::min(part_samples, count - start), stride);
    }
    return all_finite;
}

bool SegmentMeasures::feed_part(const char* samples, std::ptrdiff_t count, std::ptrdiff_t stride)
{
    // Samples before the next frame's window (a hop longer than the window) are kept by none.
    const std::ptrdiff_t skip = std::clamp<std::ptrdiff_t>(origin_ + held_ - (pad_ + fed_), 0, count);
    const std::ptrdiff_t kept = count - skip;
    if (start_ + held_ + kept > room_) {
        std::copy(samples_.get() + start_, samples_.get() + start_ + held_, samples_.get());
        std::copy(differences_.get() + start_, differences_.get() + start_ + held_, differences_.get());
        start_ = 0;
    }
    double* const end = samples_.get() + start_ + held_;
    // The low band's blocks take every sample, kept or not.
    double* values = skip > 0 ? scratch_.get() : end;
    std::uint64_t bad = 0;
    const auto clean = [&](std::uint64_t bits) {
        const std::uint64_t nonfinite = heard_as_silence(bits);
        bad += nonfinite;
        return std::bit_cast<double>(bits & (nonfinite - 1));
    };
    if (stride == static_cast<std::ptrdiff_t>(sizeof(double))) {
        for (std::ptrdiff_t i = 0; i < count; ++i) {
            values[i] = clean(load<std::uint64_t>(samples + i * static_cast<std::ptrdiff_t>(sizeof(double))));
        }
    } else {
        for (std::ptrdiff_t i = 0; i < count; ++i) {
            values[i] = clean(load<std::uint64_t>(samples + i * stride));
        }
    }
    const bool all_finite = bad == 0;
    // The first sample has none before it: its difference is 0.
    const double previous = has_last_ ? last_ : values[0];
    double* differences = differences_.get() + start_ + held_;
    if (kept > 0) {
        differences[0] = values[skip] - (skip == 0 ? previous : values[skip - 1]);
    }
    for (std::ptrdiff_t j = 1; j < kept; ++j) {
        differences[j] = values[skip + j] - values[skip + j - 1];
    }
    if (skip > 0) {
        std::copy(values + skip, values + count, end);
    }
    held_ += kept;
    has_last_ = true;
    last_ = values[count - 1];
    fed_ += count;
    // The low band: each block's sum added from its first sample to its last, as numpy's column loop adds them.
    const std::ptrdiff_t block = frames_.low_block;
    std::ptrdiff_t i = 0;
    for (; partial_count_ > 0 && i < count; ++i) {
        partial_ += values[i];
        if (++partial_count_ == block) {
            powers_.push_back(partial_ * partial_ / static_cast<double>(block));
            partial_count_ = 0;
        }
    }
    const std::ptrdiff_t whole = (count - i) / block;
    powers_.reserve(powers_.size() + static_cast<std::size_t>(whole));
    std::ptrdiff_t b = 0;
    for (; b + interleaved_blocks <= whole; b += interleaved_blocks) {
        const double* first = values + i + b * block;
        double sums[interleaved_blocks];
        for (std::ptrdiff_t k = 0; k < interleaved_blocks; ++k) {
            sums[k] = first[k * block];
        }
        for (std::ptrdiff_t column = 1; column < block; ++column) {
            for (std::ptrdiff_t k = 0; k < interleaved_blocks; ++k) {
                sums[k] += first[k * block + column];
            }
        }
        for (std::ptrdiff_t k = 0; k < interleaved_blocks; ++k) {
            powers_.push_back(sums[k] * sums[k] / static_cast<double>(block));
        }
    }
    for (; b < whole; ++b) {
        const double* first = values + i + b * block;
        double sum = first[0];
        for (std::ptrdiff_t column = 1; column < block; ++column) {
            sum += first[column];
        }
        powers_.push_back(sum * sum / static_cast<double>(block));
    }
    i += whole * block;
    for (; i < count; ++i) {
        partial_ = partial_count_ == 0 ? values[i] : partial_ + values[i];
        ++partial_count_;
    }
    // Frames whose windows the samples complete.
    const std::ptrdiff_t length = pad_ + fed_;
    if (length >= frames_.win) {
        measure_frames((length - frames_.win) / frames_.hop + 1);
    }
    low_values(low_ready());
    return all_finite;
}

void SegmentMeasures::finish()
{
    // As many frames as the library's frame count gives the padded signal.
    const std::ptrdiff_t over = pad_ + fed_ - frames_.win + frames_.hop;
    const std::ptrdiff_t total = over > 0 ? (over + frames_.hop - 1) / frames_.hop : 0;
    measure_frames(total);
    low_values(measured_);
}

void SegmentMeasures::take(std::ptrdiff_t count, double* out)
{
    const auto values = static_cast<std::ptrdiff_t>(count * measure_columns);
    std::copy(rows_.begin(), rows_.begin() + values, out);
    rows_.erase(rows_.begin(), rows_.begin() + values);
    taken_ += count;
}

void SegmentMeasures::measure_frames(std::ptrdiff_t end_frame)
{
    const std::ptrdiff_t first = measured_;
    const std::ptrdiff_t count = end_frame - first;
    if (count <= 0) {
        return;
    }
    const std::ptrdiff_t row = static_cast<std::ptrdiff_t>(rows_.size());
    rows_.resize(rows_.size() + static_cast<std::size_t>(count * measure_columns), 0.0);
    // Frames that start within the kept samples; any after them hold none and measure 0.
    const std::ptrdiff_t offset = first * frames_.hop - origin_;
    const std::ptrdiff_t kept = held_ - offset;
    const std::ptrdiff_t inside = kept > 0 ? std::min(count, (kept - 1) / frames_.hop + 1) : 0;
    if (inside > 0) {
        double* into = rows_.data() + row;
        frame_energies(EnergyFrames{samples_.get() + start_ + offset, differences_.get() + start_ + offset, kept,
                                    frames_.win, frames_.hop, inside, measure_columns, into});
        std::vector<double>& rates = frame_rates_;
        rates.resize(static_cast<std::size_t>(inside));
        const Framing framing{0, frames_.win, frames_.hop, inside};
        const Signal signal{reinterpret_cast<const char*>(samples_.get() + start_ + offset), kept, sizeof(double),
                            Element::float64};
        // A zero counts as positive: a 16-bit tone whose period is a whole number of samples lands on
        // exact zeros, which by the library's rule would break every crossing and make it look like hum.
        sign_change_rates(signal, framing, rates.data());
        for (std::ptrdiff_t f = 0; f < inside; ++f) {
            into[f * measure_columns + 2] = rates[static_cast<std::size_t>(f)];
        }
    }
    measured_ = end_frame;
    // The next frame's window starts here: nothing before it is read again.
    const std::ptrdiff_t keep_from = measured_ * frames_.hop;
    const std::ptrdiff_t drop = std::clamp<std::ptrdiff_t>(keep_from - origin_, 0, held_);
    start_ += drop;
    held_ -= drop;
    origin_ = std::max(origin_ + drop, keep_from);
}

std::ptrdiff_t SegmentMeasures::low_first_block(std::ptrdiff_t frame, std::ptrdiff_t span) const
{
    return floor_div(frame * frames_.hop - span / 2, frames_.low_block);
}

std::ptrdiff_t SegmentMeasures::low_ready() const
{
    const std::ptrdiff_t known = first_block_ + static_cast<std::ptrdiff_t>(powers_.size());
    std::ptrdiff_t frame = complete_;
    for (; frame < measured_; ++frame) {
        bool ready = true;
        for (const std::ptrdiff_t span : {frames_.win, frames_.long_span}) {
            ready &= low_first_block(frame, span) + std::max<std::ptrdiff_t>(1, span / frames_.low_block) <= known;
        }
        if (!ready) {
            break;
        }
    }
    return frame;
}

void SegmentMeasures::low_values(std::ptrdiff_t end_frame)
{
    const std::ptrdiff_t known = first_block_ + static_cast<std::ptrdiff_t>(powers_.size());
    for (std::ptrdiff_t frame = complete_; frame < end_frame; ++frame) {
        double lowest = std::numeric_limits<double>::infinity();
        for (const std::ptrdiff_t span : {frames_.win, frames_.long_span}) {
            const std::ptrdiff_t begin = low_first_block(frame, span);
            const std::ptrdiff_t end = begin + std::max<std::ptrdiff_t>(1, span / frames_.low_block);
            double total = 0.0;
            std::ptrdiff_t inside = 0;
            for (std::ptrdiff_t b = std::max(begin, first_block_); b < std::min(end, known); ++b) {
                total += powers_[static_cast<std::size_t>(b - first_block_)];
                ++inside;
            }
            // A window with no whole block measures 0/0: NaN, which fmin passes over.
            if (inside > 0) {
                lowest = std::fmin(lowest, total / static_cast<double>(inside));
            }
        }
        rows_[static_cast<std::size_t>((frame - taken_) * measure_columns + 3)] =
            std::isinf(lowest) ? std::numeric_limits<double>::quiet_NaN() : lowest;
    }
    complete_ = std::max(complete_, end_frame);
    // Blocks before the next frame's windows are not read again.
    const std::ptrdiff_t needed = std::min(low_first_block(complete_, frames_.win), low_first_block(complete_, frames_.long_span));
    const std::ptrdiff_t drop = std::clamp<std::ptrdiff_t>(needed - first_block_, 0, static_cast<std::ptrdiff_t>(powers_.size()));
    powers_.erase(powers_.begin(), powers_.begin() + drop);
    first_block_ += drop;
}

} // namespace ostrel::kernels
