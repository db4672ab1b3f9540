// The per-frame measurements sound segments are found from, taken as a
// signal's samples arrive: the energy of the signal and of its first
// difference, the zero-crossing rate, and the low band's energy.  Each
// number has the bits the analysis layer's numpy statements give it on the
// whole signal, whatever pieces the samples come in.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace ostrel::kernels {

struct SegmentFrames {
    std::ptrdiff_t win;
    std::ptrdiff_t hop;
    std::ptrdiff_t low_block;  // samples summed into one low-band value
    std::ptrdiff_t long_span;  // the low band's longer window, in samples
};

// Values a frame, in this order.
inline constexpr std::ptrdiff_t measure_columns = 4;

class SegmentMeasures {
public:
    explicit SegmentMeasures(const SegmentFrames& frames);

    // Samples `stride` bytes apart.  NaN and infinities are heard as
    // silence (0).  Returns whether every sample was finite.  Throws
    // std::bad_alloc.
    bool feed(const char* samples, std::ptrdiff_t count, std::ptrdiff_t stride);
    // The signal has ended: every frame left is measured.
    void finish();
    // Frames measured and not yet taken.
    std::ptrdiff_t pending() const { return complete_ - taken_; }
    // The first `count` of them, measure_columns values a frame; they are
    // then no longer kept.
    void take(std::ptrdiff_t count, double* out);

private:
    bool feed_part(const char* samples, std::ptrdiff_t count, std::ptrdiff_t stride);
    void measure_frames(std::ptrdiff_t end_frame);
    void low_values(std::ptrdiff_t end_frame);
    std::ptrdiff_t low_ready() const;
    std::ptrdiff_t low_first_block(std::ptrdiff_t frame, std::ptrdiff_t span) const;

    SegmentFrames frames_;
    std::ptrdiff_t pad_;
    std::ptrdiff_t fed_ = 0;
    bool has_last_ = false;
    double last_ = 0.0;
    // Samples and differences from padded index origin_ on (the centred
    // frames' zeros in front included): fewer than a window, then the parts
    // of pieces not yet framed.  Room for both is taken once; none of it is
    // cleared.
    std::ptrdiff_t room_;
    std::unique_ptr<double[]> samples_;
    std::unique_ptr<double[]> differences_;
    std::unique_ptr<double[]> scratch_;
    std::ptrdiff_t start_ = 0;  // where in them padded index origin_ is
    std::ptrdiff_t held_ = 0;
    std::ptrdiff_t origin_ = 0;
    std::vector<double> frame_rates_;
    // The low band: the sum of the block being filled, and block powers
    // from block first_block_ on.
    double partial_ = 0.0;
    std::ptrdiff_t partial_count_ = 0;
    std::vector<double> powers_;
    std::ptrdiff_t first_block_ = 0;
    // Frames from taken_ on: measured_ have their first three values,
    // complete_ all four.
    std::vector<double> rows_;
    std::ptrdiff_t taken_ = 0;
    std::ptrdiff_t measured_ = 0;
    std::ptrdiff_t complete_ = 0;
};

} // namespace ostrel::kernels
